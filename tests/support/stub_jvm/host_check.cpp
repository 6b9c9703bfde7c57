// The smallest host of a jvm.dll: load it, create the virtual machine, run a class's main, destroy
// the machine. It checks the stand-in runtime under Wine and is the baseline against which the
// program's own start-up cost is measured.
//
// stub_jvm_host_check JVM_DLL [--class=NAME] [--arg=TEXT]... [--call=V|A|varargs] [--thread]
//                     [--hook=return|block] [--version=HEX] [--ignore-unrecognized] [--create-twice]
//                     [--unexpected] [--] [JVM option]...
// Exit codes: 0 main returned, 1 main threw, 2 usage, 3 library not loadable, 4 creation failed,
// 5 a JNI step before main failed; with --hook=block, the status given to the hook.
#include <jni.h>

#include <process.h>

#include <atomic>
#include <cstdarg>

#include "stub_common.h"

namespace {

using namespace stub;

struct config {
    std::wstring dll;
    std::string main_class = "com/brindle/quill/agent/CompactAgentLauncher";
    std::vector<std::wstring> args, options;
    std::wstring call = L"V", hook;
    jint version = JNI_VERSION_1_8;
    bool thread = false, ignore_unrecognized = false, create_twice = false, unexpected = false;
};
config cfg;

unique_handle hook_event;
std::atomic<jint> hook_status{0};

// Behaves like the program's service host when blocking: note the status, wake the waiting thread
// and never return to the runtime.
void JNICALL exit_hook(jint status) {
    print_out("host_check: exit hook status=" + std::to_string(status) + " thread=" + std::to_string(GetCurrentThreadId()));
    if (cfg.hook != L"block") return;
    hook_status = status;
    SetEvent(hook_event.get());
    for (;;) Sleep(INFINITE);
}

void call_v(JNIEnv* env, jclass cls, jmethodID method, ...) {
    va_list args;
    va_start(args, method);
    env->CallStaticVoidMethodV(cls, method, args);
    va_end(args);
}

int step_failed(JNIEnv* env, const char* what) {
    if (env->ExceptionCheck()) {
        env->ExceptionDescribe();
        env->ExceptionClear();
    }
    print_err(std::string("host_check: ") + what + " failed");
    return 5;
}

int run_main(JNIEnv* env) {
    jclass string_class = env->FindClass("java/lang/String");
    if (!string_class) return step_failed(env, "FindClass java/lang/String");
    if (cfg.unexpected) env->GetSuperclass(string_class);
    jclass main_class = env->FindClass(cfg.main_class.c_str());
    if (!main_class) return step_failed(env, "FindClass of the main class");
    jmethodID main = env->GetStaticMethodID(main_class, "main", "([Ljava/lang/String;)V");
    if (!main) return step_failed(env, "GetStaticMethodID");
    jobjectArray array = env->NewObjectArray(jsize(cfg.args.size()), string_class, nullptr);
    if (!array) return step_failed(env, "NewObjectArray");
    for (size_t i = 0; i < cfg.args.size(); ++i) {
        jstring arg = env->NewString(reinterpret_cast<const jchar*>(cfg.args[i].data()), jsize(cfg.args[i].size()));
        if (!arg) return step_failed(env, "NewString");
        env->SetObjectArrayElement(array, jsize(i), arg);
        env->DeleteLocalRef(arg);
    }
    if (cfg.call == L"A") {
        jvalue value;
        value.l = array;
        env->CallStaticVoidMethodA(main_class, main, &value);
    } else if (cfg.call == L"varargs") {
        env->CallStaticVoidMethod(main_class, main, array);
    } else {
        call_v(env, main_class, main, array);
    }
    if (!env->ExceptionCheck()) return 0;
    env->ExceptionDescribe();
    env->ExceptionClear();
    return 1;
}

int run_jvm() {
    HMODULE module = LoadLibraryExW(cfg.dll.c_str(), nullptr, 0);
    if (!module) {
        print_err("host_check: LoadLibraryExW failed: error " + std::to_string(GetLastError()));
        return 3;
    }
    using create_fn = jint(JNICALL*)(JavaVM**, void**, void*);
    auto create = reinterpret_cast<create_fn>(reinterpret_cast<void*>(GetProcAddress(module, "JNI_CreateJavaVM")));
    if (!create) {
        print_err("host_check: JNI_CreateJavaVM not exported");
        return 3;
    }
    std::vector<std::string> texts;
    for (auto& option : cfg.options) texts.push_back(to_utf8(option));
    if (!cfg.hook.empty()) texts.push_back("exit");
    std::vector<JavaVMOption> options;
    for (auto& text : texts) options.push_back({text.data(), text == "exit" ? reinterpret_cast<void*>(&exit_hook) : nullptr});
    JavaVMInitArgs init{cfg.version, jint(options.size()), options.empty() ? nullptr : options.data(),
                        jboolean(cfg.ignore_unrecognized ? JNI_TRUE : JNI_FALSE)};
    JavaVM* vm = nullptr;
    JNIEnv* env = nullptr;
    if (jint result = create(&vm, reinterpret_cast<void**>(&env), &init); result != JNI_OK) {
        print_err("host_check: JNI_CreateJavaVM returned " + std::to_string(result));
        return 4;
    }
    if (cfg.create_twice) {
        JavaVM* second_vm = nullptr;
        void* second_env = nullptr;
        print_out("host_check: second JNI_CreateJavaVM returned " + std::to_string(create(&second_vm, &second_env, &init)));
    }
    int status = run_main(env);
    if (jint result = vm->DestroyJavaVM(); result != JNI_OK)
        print_err("host_check: DestroyJavaVM returned " + std::to_string(result));
    return status;
}

unsigned __stdcall jvm_thread(void*) { return unsigned(run_jvm()); }

bool parse(int argc, wchar_t** argv) {
    if (argc < 2) return false;
    cfg.dll = argv[1];
    int i = 2;
    for (; i < argc; ++i) {
        std::wstring_view a = argv[i];
        auto value = [&](std::wstring_view name) { return a.substr(0, name.size()) == name ? std::optional(std::wstring(a.substr(name.size()))) : std::nullopt; };
        if (a == L"--") { ++i; break; }
        if (auto v = value(L"--class=")) cfg.main_class = to_utf8(*v);
        else if (auto v = value(L"--arg=")) cfg.args.push_back(*v);
        else if (auto v = value(L"--call=")) cfg.call = *v;
        else if (auto v = value(L"--hook=")) cfg.hook = *v;
        else if (auto v = value(L"--version=")) cfg.version = jint(wcstoul(v->c_str(), nullptr, 16));
        else if (a == L"--thread") cfg.thread = true;
        else if (a == L"--ignore-unrecognized") cfg.ignore_unrecognized = true;
        else if (a == L"--create-twice") cfg.create_twice = true;
        else if (a == L"--unexpected") cfg.unexpected = true;
        else if (a.substr(0, 2) == L"--") return false;
        else break;
    }
    cfg.options.assign(argv + i, argv + argc);
    return cfg.hook.empty() || cfg.hook == L"return" || cfg.hook == L"block";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (!parse(argc, argv)) {
        print_err("usage: stub_jvm_host_check JVM_DLL [--class=NAME] [--arg=TEXT]... [--call=V|A|varargs] [--thread] "
                  "[--hook=return|block] [--version=HEX] [--ignore-unrecognized] [--create-twice] [--unexpected] "
                  "[--] [JVM option]...");
        return 2;
    }
    // A blocking hook may be called on the thread that runs main, so main must not be this thread.
    if (!cfg.thread && cfg.hook != L"block") return run_jvm();
    hook_event.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    unique_handle thread(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, jvm_thread, nullptr, 0, nullptr)));
    HANDLE waits[2] = {hook_event.get(), thread.get()};
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0) {
        print_out("host_check: ending after the exit hook");
        ExitProcess(UINT(hook_status.load()));
    }
    DWORD code = 0;
    GetExitCodeThread(thread.get(), &code);
    return int(code);
}
