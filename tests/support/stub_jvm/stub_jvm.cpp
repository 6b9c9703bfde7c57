// jvm.dll stand-in: a Java runtime just real enough for the program to host it through the JNI
// Invocation API. It checks how it is called, records what it was given and plays the agent's
// scripted part; see README.md for the settings and the record format.
#define _JNI_IMPLEMENTATION_
#include <jni.h>

#include <cstdarg>
#include <deque>
#include <thread>

#include "stub_common.h"

#include <psapi.h>

namespace {

using namespace stub;

constexpr std::string_view main_class_name = "com/brindle/quill/agent/CompactAgentLauncher";

enum class kind { klass, string, array };

struct object {
    kind what;
    std::wstring text;  // a string's characters
    std::vector<const object*> elements;
};

struct script {
    std::string main = "return", fail;  // the behaviour of main without its status; the call that fails
    jint exit_status = 0;
    DWORD poll_ms = 100, stop_ms = 0;
    std::optional<std::string> spawn, spawn_once;
};

using exit_hook = void(JNICALL*)(jint);

// The JNI environment belongs to the thread that created the VM, and only that thread calls into it.
struct vm_state {
    bool destroyed = false;
    DWORD thread = 0;
    script settings;
    exit_hook on_exit = nullptr;
    std::deque<object> objects;
    std::optional<std::string> pending;  // the pending exception's class and message
    const object* string_class = nullptr;
    const object* main_class = nullptr;
};
vm_state vm;
record_file record;

std::string thread_id() { return std::to_string(GetCurrentThreadId()); }
[[noreturn]] void misuse(const std::string& what) { die("stub jvm: " + what); }

std::wstring agent_home() {
    auto home = find_env(L"AGENT_HOME");
    if (!home || home->empty()) misuse("AGENT_HOME is not set");
    return *home;
}

const object* make(object o) { return &vm.objects.emplace_back(std::move(o)); }
jobject ref(const object* o) { return reinterpret_cast<jobject>(const_cast<object*>(o)); }

const object* deref(jobject r, const char* fn, kind expected) {
    auto* o = reinterpret_cast<const object*>(r);
    if (!o || o->what != expected) misuse(std::string(fn) + " got a null reference or one of the wrong kind");
    return o;
}

jmethodID main_method() { return reinterpret_cast<jmethodID>(const_cast<object*>(vm.main_class)); }

void enter(const char* fn, bool pending_allowed = false) {
    if (vm.destroyed) misuse(std::string(fn) + " called after DestroyJavaVM");
    if (GetCurrentThreadId() != vm.thread) misuse(std::string(fn) + " called on a thread the JNIEnv does not belong to");
    if (!pending_allowed && vm.pending) misuse(std::string(fn) + " called while an exception is pending");
}

// ---- The agent's part: what the launcher class's main does --------------------------------------

[[noreturn]] void java_exit(jint status) {
    record.value("exit.status", std::to_string(status));
    record.value("exit.thread", thread_id());
    // A real runtime hands the status to the hook and, should the hook return, ends the process itself.
    if (vm.on_exit) vm.on_exit(status);
    ExitProcess(UINT(status));
}

// The agent takes the marker as a one-shot request and removes it, so that a successor it started
// (restart, upgrade) does not stop at once.
void wait_for_shutdown(const script& s) {
    std::wstring marker = agent_home() + L"\\var\\shutdown";
    while (!file_exists(marker)) Sleep(s.poll_ms);
    DeleteFileW(marker.c_str());
    record.line("shutdown.seen");
    Sleep(s.stop_ms);
}

// Starts bin\agent.exe as Java's ProcessBuilder with inherited I/O does: inheritable copies of the
// standard handles, no wait.
void spawn(const script& s) {
    if (s.spawn_once) {
        std::wstring once = to_wide(*s.spawn_once);
        if (file_exists(once)) return record.line("spawn.skipped");
        CloseHandle(CreateFileW(once.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    std::wstring command_line = L"\"" + agent_home() + L"\\bin\\agent.exe\" " + to_wide(*s.spawn);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    HANDLE* slots[3] = {&startup.hStdInput, &startup.hStdOutput, &startup.hStdError};
    DWORD which[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    for (int i = 0; i < 3; ++i)
        DuplicateHandle(GetCurrentProcess(), GetStdHandle(which[i]), GetCurrentProcess(), slots[i], 0, TRUE,
                        DUPLICATE_SAME_ACCESS);
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &info))
        return record.value("spawn.error", std::to_string(GetLastError()));
    for (HANDLE h : {startup.hStdInput, startup.hStdOutput, startup.hStdError, info.hProcess, info.hThread})
        if (h) CloseHandle(h);
    record.value("spawn.pid", std::to_string(info.dwProcessId));
}

// True when main leaves with an exception.
bool run_main(const std::vector<std::wstring>& args) {
    const script& s = vm.settings;
    record.value("main.thread", thread_id());
    record.value("main.arg.count", std::to_string(args.size()));
    for (size_t i = 0; i < args.size(); ++i) record.value("main.arg[" + std::to_string(i) + "]", to_utf8(args[i]));
    print_out("stub jvm: main started");
    if (s.spawn) spawn(s);
    if (s.main == "wait-shutdown" || s.main == "wait-shutdown-then-exit") wait_for_shutdown(s);
    if (s.main == "exit" || s.main == "wait-shutdown-then-exit") java_exit(s.exit_status);
    if (s.main == "thread-exit") std::thread([status = s.exit_status] { java_exit(status); }).detach();
    if (s.main == "thread-exit" || s.main == "hang")
        for (;;) Sleep(INFINITE);
    record.line(s.main == "throw" ? "main.threw" : "main.returned");
    return s.main == "throw";
}

// ---- The JNI functions the program calls ---------------------------------------------------------

jclass JNICALL find_class(JNIEnv*, const char* name) {
    enter("FindClass");
    const std::string& fail = vm.settings.fail;
    if (name == std::string_view("java/lang/String") && fail != "findclass-string") return jclass(ref(vm.string_class));
    if (name == main_class_name && fail != "findclass-main") return jclass(ref(vm.main_class));
    vm.pending = "java.lang.NoClassDefFoundError: " + std::string(name);
    return nullptr;
}

jmethodID JNICALL get_static_method_id(JNIEnv*, jclass cls, const char* name, const char* sig) {
    enter("GetStaticMethodID");
    if (vm.settings.fail == "getstaticmethodid" || deref(cls, "GetStaticMethodID", kind::klass) != vm.main_class ||
        name != std::string_view("main") || sig != std::string_view("([Ljava/lang/String;)V")) {
        vm.pending = "java.lang.NoSuchMethodError: " + std::string(name);
        return nullptr;
    }
    return main_method();
}

jobjectArray JNICALL new_object_array(JNIEnv*, jsize length, jclass cls, jobject init) {
    enter("NewObjectArray");
    if (deref(cls, "NewObjectArray", kind::klass) != vm.string_class || init || length < 0)
        misuse("NewObjectArray: not an empty String[]");
    object array{kind::array};
    array.elements.resize(size_t(length));
    return jobjectArray(ref(make(std::move(array))));
}

jstring JNICALL new_string(JNIEnv*, const jchar* chars, jsize length) {
    enter("NewString");
    return jstring(ref(make({kind::string, std::wstring(reinterpret_cast<const wchar_t*>(chars), size_t(length))})));
}

void JNICALL set_object_array_element(JNIEnv*, jobjectArray array, jsize index, jobject value) {
    enter("SetObjectArrayElement");
    auto* a = const_cast<object*>(deref(array, "SetObjectArrayElement", kind::array));
    if (index < 0 || size_t(index) >= a->elements.size()) misuse("SetObjectArrayElement: index out of bounds");
    a->elements[size_t(index)] = deref(value, "SetObjectArrayElement", kind::string);
}

void JNICALL delete_local_ref(JNIEnv*, jobject) { enter("DeleteLocalRef", true); }

jboolean JNICALL exception_check(JNIEnv*) {
    enter("ExceptionCheck", true);
    return vm.pending ? JNI_TRUE : JNI_FALSE;
}

void JNICALL exception_clear(JNIEnv*) {
    enter("ExceptionClear", true);
    vm.pending.reset();
}

// Prints as the real runtime does and, like it, clears the exception.
void JNICALL exception_describe(JNIEnv*) {
    enter("ExceptionDescribe", true);
    if (!vm.pending) return;
    print_err("Exception in thread \"main\" " + *vm.pending + "\r\n\tat " + std::string(main_class_name) + ".main");
    vm.pending.reset();
}

// The program's variadic CallStaticVoidMethod is jni.h's wrapper of this one.
void JNICALL call_static_void_method_v(JNIEnv*, jclass cls, jmethodID method, va_list list) {
    jobject arg = va_arg(list, jobject);
    std::vector<std::wstring> args;
    {
        enter("CallStaticVoidMethodV");
        if (deref(cls, "CallStaticVoidMethodV", kind::klass) != vm.main_class || method != main_method())
            misuse("CallStaticVoidMethodV got a class or method id that do not belong together");
        for (const object* element : deref(arg, "CallStaticVoidMethodV", kind::array)->elements)
            args.push_back(element ? element->text : L"<null>");
    }
    if (run_main(args)) vm.pending = "java.lang.RuntimeException: stub jvm: main threw as scripted";
}

// Every other slot: the call cannot go unnoticed. It never returns, so the calling convention and the
// arguments do not matter.
void JNICALL unexpected() { misuse("unexpected JNI call"); }

jint JNICALL destroy_java_vm(JavaVM*) {
    enter("DestroyJavaVM");
    vm.destroyed = true;
    record.value("destroy.thread", thread_id());
    record.line("destroy");
    return JNI_OK;
}

template <typename Table, typename Fill>
Table make_table(Fill fill) {
    Table table;
    auto** slots = reinterpret_cast<void**>(&table);
    std::fill(slots, slots + sizeof(table) / sizeof(void*), reinterpret_cast<void*>(&unexpected));
    fill(table);
    return table;
}
const JNINativeInterface_ native_table = make_table<JNINativeInterface_>([](JNINativeInterface_& t) {
    t.FindClass = find_class;
    t.GetStaticMethodID = get_static_method_id;
    t.NewObjectArray = new_object_array;
    t.NewString = new_string;
    t.SetObjectArrayElement = set_object_array_element;
    t.DeleteLocalRef = delete_local_ref;
    t.ExceptionCheck = exception_check;
    t.ExceptionClear = exception_clear;
    t.ExceptionDescribe = exception_describe;
    t.CallStaticVoidMethodV = call_static_void_method_v;
});
const JNIInvokeInterface_ invoke_table =
    make_table<JNIInvokeInterface_>([](JNIInvokeInterface_& t) { t.DestroyJavaVM = destroy_java_vm; });
JNIEnv the_env{&native_table};
JavaVM the_vm{&invoke_table};

script read_script(const properties& p) {
    auto number = [](const std::string& name, const std::string& text) {
        if (auto n = parse_long(text)) return *n;
        misuse("bad setting -Dstub." + name + "=" + text);
    };
    script s;
    std::string main = p.get("stub.main").value_or("return");
    s.main = main.substr(0, main.find(':'));
    if (s.main.size() < main.size()) s.exit_status = jint(number("main", main.substr(s.main.size() + 1)));
    if (std::string(" return wait-shutdown wait-shutdown-then-exit exit thread-exit throw hang ").find(" " + s.main + " ") ==
        std::string::npos)
        misuse("bad setting -Dstub.main=" + main);
    s.poll_ms = DWORD(number("poll.ms", p.get("stub.poll.ms").value_or("100")));
    s.stop_ms = DWORD(number("stop.ms", p.get("stub.stop.ms").value_or("0")));
    s.fail = p.get("stub.fail").value_or("");
    if (!s.fail.empty() && s.fail != "findclass-string" && s.fail != "findclass-main" && s.fail != "getstaticmethodid")
        misuse("bad setting -Dstub.fail=" + s.fail);
    s.spawn = p.get("stub.spawn");
    s.spawn_once = p.get("stub.spawn.once");
    return s;
}

}  // namespace

extern "C" JNIEXPORT jint JNICALL JNI_CreateJavaVM(JavaVM** pvm, void** penv, void* raw_args) {
    // Taken before anything else, for the benchmarks: the moment the host reached the runtime, and
    // what the host process had used up to then.
    LARGE_INTEGER entry_ticks{}, ticks_per_second{};
    QueryPerformanceCounter(&entry_ticks);
    QueryPerformanceFrequency(&ticks_per_second);
    PROCESS_MEMORY_COUNTERS memory{};
    bool have_memory = K32GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof(memory));

    auto* args = static_cast<JavaVMInitArgs*>(raw_args);
    // Other versions lay the start arguments out differently; nothing else of them could be read.
    if (args->version != JNI_VERSION_1_8) return JNI_EVERSION;
    std::vector<std::string_view> texts;
    properties props;
    for (jint i = 0; i < args->nOptions; ++i) {
        texts.emplace_back(args->options[i].optionString);
        props.add_if_property(texts.back());
    }
    script settings = read_script(props);

    auto record_path = props.get("stub.record");
    record.open(record_path ? to_wide(*record_path) : agent_home() + L"\\var\\stub-jvm.record", "stub jvm");
    record.value("pid", std::to_string(GetCurrentProcessId()));
    record.value("create.thread", thread_id());
    record.value("create.entry.qpc", std::to_string(entry_ticks.QuadPart));
    record.value("qpc.frequency", std::to_string(ticks_per_second.QuadPart));
    if (have_memory) {
        record.value("create.entry.working_set", std::to_string(memory.WorkingSetSize));
        record.value("create.entry.peak_working_set", std::to_string(memory.PeakWorkingSetSize));
    }
    jint result = JNI_OK;
    for (jint i = 0; i < args->nOptions; ++i) {
        record.value("option", texts[i]);
        bool hook = texts[i] == "exit" || texts[i] == "abort" || texts[i] == "vfprintf";
        if (texts[i] == "exit") vm.on_exit = reinterpret_cast<exit_hook>(args->options[i].extraInfo);
        if (!args->ignoreUnrecognized && !hook && !is_known_dash_option(texts[i])) {
            print_err("Unrecognized option: " + std::string(texts[i]));
            result = JNI_EINVAL;
        }
    }
    record.value("hook.exit", vm.on_exit ? "yes" : "no");
    if (auto class_path = props.get("java.class.path")) record.value("classpath", *class_path);
    record.value("cwd", current_directory());
    record_environment(record, props.get("stub.env").value_or(""));
    record.value("create.result", std::to_string(result));
    if (result != JNI_OK) return result;

    vm.thread = GetCurrentThreadId();
    vm.settings = std::move(settings);
    vm.string_class = make({kind::klass});
    vm.main_class = make({kind::klass});
    *pvm = &the_vm;
    *penv = &the_env;
    return JNI_OK;
}
