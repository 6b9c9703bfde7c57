// The Java runtime: location of jvm.dll and java.exe, creation of the VM and the call of main.

#include "javainterop.h"

#include <atomic>
#include <cstdint>
#include <memory>

#include "agent.h"
#include "environment.h"
#include "fileio.h"

namespace {

std::atomic<jvm_exit_hook> installed_exit_hook{nullptr};

template <typename T>
bool read_exactly(file_handle& file, std::int64_t offset, T& value) {
    file.seek(offset);
    return file.read(&value, sizeof(value)) == static_cast<std::int32_t>(sizeof(value));
}

// A runtime of the other machine is the usual misfit: the other package of the program hosts it.
constexpr unsigned short other_image_machine = own_image_machine == 0x8664 ? 0x014C : 0x8664;
constexpr const wchar_t* other_bitness = other_image_machine == 0x8664 ? L"64-bit" : L"32-bit";
constexpr const wchar_t* other_package = other_image_machine == 0x8664 ? L"x64" : L"x86";

enum class probe_result { valid, other_machine, invalid, not_found, access_denied };

probe_result probe_binary(const std::wstring& path) {
    try {
        file_handle file = file_handle::open_read(path);
        unsigned short machine = image_machine(file);
        if (machine == own_image_machine) return probe_result::valid;
        return machine == other_image_machine ? probe_result::other_machine : probe_result::invalid;
    } catch (const file_not_found_exception&) {
        return probe_result::not_found;
    } catch (const file_access_denied_exception&) {
        return probe_result::access_denied;
    } catch (const file_exception& e) {
        // A name that Windows refuses (a stray quote in the Java home) names no file either.
        if (e.error() != ERROR_INVALID_NAME) throw;
        return probe_result::not_found;
    }
}

// If a pending Java exception exists, the runtime prints it and forgets it.
void clear_java_exception(JNIEnv* env) {
    if (env->ExceptionCheck()) {
        env->ExceptionDescribe();
        env->ExceptionClear();
    }
}

}  // namespace

unsigned short image_machine(file_handle& file) {
    std::uint16_t dos_signature = 0;
    if (!read_exactly(file, 0, dos_signature) || dos_signature != IMAGE_DOS_SIGNATURE) return 0;
    std::uint32_t pe_offset = 0;
    if (!read_exactly(file, 0x3C, pe_offset)) return 0;
    std::uint32_t pe_signature = 0;
    if (!read_exactly(file, pe_offset, pe_signature) || pe_signature != IMAGE_NT_SIGNATURE) return 0;
    std::uint16_t machine = 0;
    return read_exactly(file, std::int64_t(pe_offset) + 4, machine) ? machine : 0;
}

bool locate_jvm_dll(const std::wstring& java_home, std::wstring& jvm_base, std::wstring& jvm_dll) {
    LOG_DEBUG(L"java_home=[%s]", java_home);
    std::vector<std::wstring> denied;
    std::vector<std::wstring> other_machine;
    for (const wchar_t* base : {L"\\bin", L"\\jre\\bin"}) {
        for (const wchar_t* kind : {L"\\server", L"\\client", L"\\j9vm"}) {
            jvm_base = java_home + base;
            jvm_dll = jvm_base + kind + L"\\jvm.dll";
            LOG_DEBUG(L"Checking for JVM DLL: jvm_base=[%s] jvm_dll=[%s]", jvm_base, jvm_dll);
            switch (probe_binary(jvm_dll)) {
            case probe_result::valid:
                return true;
            case probe_result::other_machine:
                other_machine.push_back(jvm_dll);
                [[fallthrough]];
            case probe_result::invalid:
                LOG_TRACE(L"Binary not valid for OS/CPU: jvm_dll=[%s]", jvm_dll);
                break;
            case probe_result::not_found:
                LOG_TRACE(L"No JVM DLL: path=[%s]", jvm_dll);
                break;
            case probe_result::access_denied:
                denied.push_back(jvm_dll);
                LOG_TRACE(L"Access denied to JVM DLL: path=[%s]", jvm_dll);
                break;
            }
        }
    }
    for (const std::wstring& path : denied) LOG_WARN(L"Access denied to possible JVM DLL: path=[%s]", path);
    for (const std::wstring& path : other_machine)
        LOG_WARN(L"JVM DLL of a %s Java runtime, which only the %s package can host: path=[%s]", other_bitness,
                 other_package, path);
    jvm_base.clear();
    jvm_dll.clear();
    return false;
}

bool locate_java_exe(const std::wstring& java_home, std::wstring& java_exe) {
    std::vector<std::wstring> denied;
    for (const wchar_t* candidate : {L"\\bin\\java.exe", L"\\jre\\bin\\java.exe"}) {
        java_exe = java_home + candidate;
        LOG_DEBUG(L"Checking for java.exe: java_home=[%s] java_exe=[%s]", java_home, java_exe);
        switch (probe_binary(java_exe)) {
        case probe_result::valid:
            return true;
        case probe_result::other_machine:
        case probe_result::invalid:
            break;
        case probe_result::not_found:
            LOG_TRACE(L"No java.exe: path=[%s]", java_exe);
            break;
        case probe_result::access_denied:
            denied.push_back(java_exe);
            LOG_TRACE(L"Access denied to java.exe: path=[%s]", java_exe);
            break;
        }
    }
    for (const std::wstring& path : denied) LOG_WARN(L"Access denied to possible java.exe: path=[%s]", path);
    java_exe.clear();
    return false;
}

std::wstring get_java_exe(const std::wstring& java_home) {
    std::wstring java_exe;
    if (!locate_java_exe(java_home, java_exe)) AGENT_THROW(java_exe_not_found_exception, java_home);
    return java_exe;
}

void set_jvm_exit_hook(jvm_exit_hook hook) { installed_exit_hook.store(hook); }

void create_jvm(const std::wstring& java_home, const std::vector<std::wstring>& options,
                const std::vector<std::wstring>& class_path, JavaVM** vm, JNIEnv** env) {
    std::wstring jvm_base;
    std::wstring jvm_dll;
    if (!locate_jvm_dll(java_home, jvm_base, jvm_dll)) AGENT_THROW(jvm_not_found_exception, java_home);

    // The runtime finds its own dependent libraries through PATH.
    std::wstring path = get_environment_variable(L"PATH", L"");
    // A whole entry: a PATH that holds C:\jdk\bin\server does not hold C:\jdk\bin.
    std::wstring java_bin = java_home + L"\\bin";
    if (!path_list_contains(path, java_bin)) path += L";" + java_bin;
    if (!path_list_contains(path, jvm_base)) path += L";" + jvm_base;
    set_environment_variable(L"PATH", path);

    // The option texts must stay valid until JNI_CreateJavaVM has returned.
    std::vector<std::string> texts;
    for (const std::wstring& option : options) texts.push_back(to_string(option));
    std::wstring joined_class_path;
    for (std::size_t i = 0; i < class_path.size(); ++i) joined_class_path += (i == 0 ? L"" : L";") + class_path[i];
    if (!joined_class_path.empty()) texts.push_back(to_string(L"-Djava.class.path=" + joined_class_path));
    std::vector<JavaVMOption> entries;
    for (std::string& text : texts) entries.push_back(JavaVMOption{text.data(), nullptr});
    jvm_exit_hook hook = installed_exit_hook.load();
    static char exit_option[] = "exit";
    if (hook != nullptr) entries.push_back(JavaVMOption{exit_option, reinterpret_cast<void*>(hook)});

    HMODULE module = LoadLibraryExW(jvm_dll.c_str(), nullptr, 0);
    if (module == nullptr) {
        DWORD error = GetLastError();
        AGENT_THROW(jvm_load_exception, jvm_dll, L"JVM DLL failed to load", L"LoadLibraryExW", error);
    }
    LOG_TRACE(L"JVM DLL loaded: module=0x%x path=[%s]", reinterpret_cast<std::uintptr_t>(module), jvm_dll);

    using create_function = jint(JNICALL*)(JavaVM**, void**, void*);
    auto create = reinterpret_cast<create_function>(reinterpret_cast<void*>(GetProcAddress(module, "JNI_CreateJavaVM")));
    if (create == nullptr) {
        DWORD error = GetLastError();
        AGENT_THROW(jvm_load_exception, jvm_dll, L"JNI_CreateJavaVM not found", L"GetProcAddress", error);
    }
    LOG_TRACE(L"JNI_CreateJavaVM found: addr=0x%x", reinterpret_cast<std::uintptr_t>(create));

    if (is_debug_enabled()) {
        LOG_DEBUG(L"Starting JVM:");
        for (std::size_t i = 0; i < entries.size(); ++i)
            LOG_DEBUG(L"\t[%d]=%s", static_cast<int>(i), redact_secret_option(to_wstring(entries[i].optionString)));
    }

    JavaVMInitArgs arguments{};
    arguments.version = JNI_VERSION_1_8;
    arguments.nOptions = static_cast<jint>(entries.size());
    arguments.options = entries.empty() ? nullptr : entries.data();
    arguments.ignoreUnrecognized = JNI_FALSE;
    LOG_TRACE(L"Calling JNI_CreateJavaVM: pvm=0x%x penv=0x%x args=0x%x", reinterpret_cast<std::uintptr_t>(vm),
              reinterpret_cast<std::uintptr_t>(env), reinterpret_cast<std::uintptr_t>(&arguments));
    jint status = create(vm, reinterpret_cast<void**>(env), &arguments);
    if (status != JNI_OK) AGENT_THROW(jvm_creation_exception, jvm_dll, static_cast<std::int32_t>(status));
    LOG_DEBUG(L"JVM created");
}

void call_java_main_method(JNIEnv* env, const std::wstring& class_name, const std::vector<std::wstring>& arguments) {
    jclass string_class = env->FindClass("java/lang/String");
    if (string_class == nullptr) {
        clear_java_exception(env);
        LOG_FATAL_AND_EXIT(L"java.lang.String not found");
    }
    jclass main_class = env->FindClass(to_string(class_name).c_str());
    if (main_class == nullptr) {
        clear_java_exception(env);
        LOG_FATAL_AND_EXIT(L"Main class not found: name=[%s]", class_name);
    }
    jmethodID main_method = env->GetStaticMethodID(main_class, "main", "([Ljava/lang/String;)V");
    if (main_method == nullptr) {
        clear_java_exception(env);
        LOG_FATAL_AND_EXIT(L"Java main method not found");
    }
    jobjectArray array = env->NewObjectArray(static_cast<jsize>(arguments.size()), string_class, nullptr);
    if (array == nullptr) {
        clear_java_exception(env);
        LOG_FATAL_AND_EXIT(L"Args array allocation failed");
    }
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        // main's arguments stay UTF-16: no detour through the modified UTF-8 of NewStringUTF.
        jstring text = env->NewString(reinterpret_cast<const jchar*>(arguments[i].data()),
                                      static_cast<jsize>(arguments[i].size()));
        if (text == nullptr) {
            clear_java_exception(env);
            LOG_FATAL_AND_EXIT(L"Arg allocation failed");
        }
        env->SetObjectArrayElement(array, static_cast<jsize>(i), text);
        env->DeleteLocalRef(text);
    }
    env->CallStaticVoidMethod(main_class, main_method, array);
    if (env->ExceptionCheck()) {
        env->ExceptionDescribe();
        env->ExceptionClear();
        LOG_FATAL_AND_EXIT(L"Java main threw exception");
    }
    LOG_DEBUG(L"Java main method returned");
}
