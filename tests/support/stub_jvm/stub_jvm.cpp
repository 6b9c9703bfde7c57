// jvm.dll stand-in: a Java runtime just real enough for the program to host it through the JNI
// Invocation API. It checks how it is called, records what it was given and plays the agent's
// scripted part; see README.md for the settings and the record format.
#define _JNI_IMPLEMENTATION_
#include <jni.h>

#include <cstdarg>
#include <cstring>
#include <deque>
#include <map>
#include <thread>
#include <unordered_set>

#include "jni_slot_names.h"
#include "stub_common.h"

#include <psapi.h>

namespace {

using namespace stub;

constexpr std::string_view string_class_name = "java/lang/String";
constexpr std::string_view main_class_name = "com/brindle/quill/agent/CompactAgentLauncher";
constexpr std::string_view main_signature = "([Ljava/lang/String;)V";

enum class kind { klass, string, array, throwable };

struct object {
    kind what;
    std::string name;   // a class's JNI name, or a throwable's class name
    std::wstring text;  // a string's characters, or a throwable's message
    std::string frame;  // where a throwable was thrown
    const object* element_class = nullptr;
    std::vector<const object*> elements;
};

// Every local reference is a handle of its own, so a use after DeleteLocalRef is caught even while
// another reference to the same object is alive.
struct reference {
    const object* target;
    bool live = true;
};

enum class behaviour { return_now, wait_shutdown, exit, thread_exit, throw_exception, wait_shutdown_then_exit, hang };

struct script {
    behaviour main = behaviour::return_now;
    jint exit_status = 0;
    DWORD poll_ms = 100;
    std::optional<DWORD> wait_ms;
    DWORD stop_ms = 0;
    std::string fail;
    std::optional<jint> create_status;
    std::optional<std::string> spawn, spawn_exe, spawn_once;
    std::vector<std::string> spawn_env, env_names;
};

using exit_hook = void(JNICALL*)(jint);

// One virtual machine per process. Only the JNI environment's own thread touches the objects; the
// lock covers the invocation interface, which any thread may call.
struct vm_state {
    std::mutex lock;
    bool created = false;
    bool destroyed = false;
    script settings;
    exit_hook on_exit = nullptr;
    std::deque<object> objects;
    std::deque<reference> references;
    std::unordered_set<const void*> known_references;
    const object* pending = nullptr;
    std::map<DWORD, std::unique_ptr<JNIEnv>> envs;
    const object* string_class = nullptr;
    const object* main_class = nullptr;
};
vm_state vm_data;
record_file record;
int main_method_tag;

jmethodID main_method() { return reinterpret_cast<jmethodID>(&main_method_tag); }
std::string thread_id() { return std::to_string(GetCurrentThreadId()); }
[[noreturn]] void misuse(std::string_view what) { die("stub jvm: " + std::string(what)); }

std::wstring agent_home() {
    auto home = find_env(L"AGENT_HOME");
    if (!home || home->empty()) misuse("AGENT_HOME is not set");
    return *home;
}

const object* make(object o) { return &vm_data.objects.emplace_back(std::move(o)); }

jobject new_ref(const object* target) {
    if (!target) return nullptr;
    reference& r = vm_data.references.emplace_back(reference{target});
    vm_data.known_references.insert(&r);
    return reinterpret_cast<jobject>(&r);
}

reference* ref_of(jobject ref, const char* fn) {
    if (!vm_data.known_references.count(ref)) misuse(std::string(fn) + " got a reference this runtime never gave out");
    auto* r = reinterpret_cast<reference*>(ref);
    if (!r->live) misuse(std::string(fn) + " got a reference already deleted with DeleteLocalRef");
    return r;
}

const object* deref(jobject ref, const char* fn, std::optional<kind> expected = std::nullopt) {
    if (!ref) {
        if (expected) misuse(std::string(fn) + " got a null reference");
        return nullptr;
    }
    const object* o = ref_of(ref, fn)->target;
    if (expected && o->what != *expected) misuse(std::string(fn) + " got a reference of the wrong kind");
    return o;
}

void throw_new(std::string java_class, std::string_view message, std::string frame) {
    vm_data.pending = make({kind::throwable, std::move(java_class), to_wide(message), std::move(frame)});
}

std::unique_lock<std::mutex> enter(JNIEnv* env, const char* fn, bool pending_allowed = false) {
    std::unique_lock guard(vm_data.lock);
    if (vm_data.destroyed) misuse(std::string(fn) + " called after DestroyJavaVM");
    auto it = vm_data.envs.find(GetCurrentThreadId());
    if (it == vm_data.envs.end() || it->second.get() != env)
        misuse(std::string(fn) + " called with a JNIEnv that does not belong to thread " + thread_id());
    if (!pending_allowed && vm_data.pending) misuse(std::string(fn) + " called while an exception is pending");
    return guard;
}

// ---- The agent's part: what the launcher class's main does --------------------------------------

[[noreturn]] void java_exit(jint status) {
    record.value("exit.status", std::to_string(status));
    record.value("exit.thread", thread_id());
    // A real runtime hands the status to the hook and, should the hook return, ends the process itself.
    if (vm_data.on_exit) {
        vm_data.on_exit(status);
        record.line("exit.hook.returned");
    }
    ExitProcess(UINT(status));
}

// The agent treats the marker as a one-shot request and removes it, so that a successor it started
// (restart, upgrade) does not stop at once.
void wait_for_shutdown(const script& s) {
    std::wstring marker = agent_home() + L"\\var\\shutdown";
    ULONGLONG start = GetTickCount64();
    while (!file_exists(marker)) {
        if (s.wait_ms && GetTickCount64() - start >= *s.wait_ms) {
            record.line("shutdown.timeout");
            return;
        }
        Sleep(s.poll_ms);
    }
    DeleteFileW(marker.c_str());
    record.line("shutdown.seen");
    Sleep(s.stop_ms);
}

// Starts the program the way Java's ProcessBuilder with inherited I/O does: inheritable copies of
// the standard handles, a Unicode environment block only when it differs, and no wait.
void spawn(const script& s) {
    if (s.spawn_once) {
        std::wstring once = to_wide(*s.spawn_once);
        if (file_exists(once)) {
            record.line("spawn.skipped");
            return;
        }
        unique_handle(CreateFileW(once.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    std::wstring exe = s.spawn_exe ? to_wide(*s.spawn_exe) : agent_home() + L"\\bin\\agent.exe";
    std::wstring command_line = L"\"" + exe + L"\" " + to_wide(*s.spawn);

    std::wstring block;
    if (!s.spawn_env.empty()) {
        wchar_t* current = GetEnvironmentStringsW();
        for (const wchar_t* entry = current; *entry; entry += wcslen(entry) + 1) {
            std::wstring_view text(entry);
            bool replaced = false;
            for (auto& extra : s.spawn_env) {
                std::wstring name = to_wide(extra.substr(0, extra.find('=') + 1));
                replaced = replaced || (text.size() >= name.size() &&
                                        CompareStringOrdinal(entry, int(name.size()), name.c_str(), int(name.size()), TRUE) == CSTR_EQUAL);
            }
            if (!replaced) block.append(text).push_back(L'\0');
        }
        FreeEnvironmentStringsW(current);
        for (auto& extra : s.spawn_env) block.append(to_wide(extra)).push_back(L'\0');
        block.push_back(L'\0');
    }

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    unique_handle copies[3];
    HANDLE* slots[3] = {&startup.hStdInput, &startup.hStdOutput, &startup.hStdError};
    DWORD which[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    for (int i = 0; i < 3; ++i) {
        HANDLE h = GetStdHandle(which[i]), copy = nullptr;
        if (h && h != INVALID_HANDLE_VALUE &&
            DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, TRUE, DUPLICATE_SAME_ACCESS))
            copies[i].reset(copy);
        *slots[i] = copy;
    }
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT,
                        block.empty() ? nullptr : block.data(), nullptr, &startup, &info)) {
        // ProcessBuilder would throw an IOException, which the agent logs and survives.
        record.value("spawn.error", std::to_string(GetLastError()));
        print_err("stub jvm: cannot start " + to_utf8(command_line));
        return;
    }
    unique_handle process(info.hProcess), thread(info.hThread);
    record.value("spawn.pid", std::to_string(info.dwProcessId));
}

// Returns true when main leaves with an exception.
bool run_main(const std::vector<std::optional<std::wstring>>& args) {
    const script& s = vm_data.settings;
    record.value("main.class", std::string(main_class_name));
    record.value("main.thread", thread_id());
    record.value("main.arg.count", std::to_string(args.size()));
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i]) record.value("main.arg[" + std::to_string(i) + "]", to_utf8(*args[i]));
        else record.value("main.arg.null", std::to_string(i));
    }
    print_out("stub jvm: main started");
    if (s.spawn) spawn(s);
    switch (s.main) {
    case behaviour::return_now: break;
    case behaviour::wait_shutdown: wait_for_shutdown(s); break;
    case behaviour::wait_shutdown_then_exit: wait_for_shutdown(s); java_exit(s.exit_status);
    case behaviour::exit: java_exit(s.exit_status);
    case behaviour::thread_exit:
        std::thread([status = s.exit_status] { java_exit(status); }).detach();
        [[fallthrough]];
    case behaviour::hang:
        for (;;) Sleep(INFINITE);
    case behaviour::throw_exception:
        record.line("main.threw");
        return true;
    }
    record.line("main.returned");
    return false;
}

// ---- JNI functions -------------------------------------------------------------------------------

jclass JNICALL find_class(JNIEnv* env, const char* name) {
    auto guard = enter(env, "FindClass");
    if (!name) misuse("FindClass got a null name");
    const script& s = vm_data.settings;
    if (name == string_class_name && s.fail != "findclass-string") return jclass(new_ref(vm_data.string_class));
    if (name == main_class_name && s.fail != "findclass-main") return jclass(new_ref(vm_data.main_class));
    throw_new("java.lang.NoClassDefFoundError", name, "");
    return nullptr;
}

jmethodID JNICALL get_static_method_id(JNIEnv* env, jclass cls, const char* name, const char* sig) {
    auto guard = enter(env, "GetStaticMethodID");
    const object* c = deref(cls, "GetStaticMethodID", kind::klass);
    if (!name || !sig) misuse("GetStaticMethodID got a null name or signature");
    if (vm_data.settings.fail == "getstaticmethodid" || c != vm_data.main_class || name != std::string_view("main") ||
        sig != main_signature) {
        throw_new("java.lang.NoSuchMethodError", name, "");
        return nullptr;
    }
    return main_method();
}

jobjectArray JNICALL new_object_array(JNIEnv* env, jsize length, jclass cls, jobject init) {
    auto guard = enter(env, "NewObjectArray");
    const object* element_class = deref(cls, "NewObjectArray", kind::klass);
    const object* initial = deref(init, "NewObjectArray");
    if (length < 0) {
        throw_new("java.lang.NegativeArraySizeException", std::to_string(length), "");
        return nullptr;
    }
    if (vm_data.settings.fail == "newobjectarray") {
        throw_new("java.lang.OutOfMemoryError", "Java heap space", "");
        return nullptr;
    }
    object array{kind::array};
    array.element_class = element_class;
    array.elements.assign(size_t(length), initial);
    return jobjectArray(new_ref(make(std::move(array))));
}

jstring JNICALL new_string(JNIEnv* env, const jchar* chars, jsize length) {
    auto guard = enter(env, "NewString");
    if (length < 0 || (!chars && length > 0)) misuse("NewString got an invalid buffer");
    if (vm_data.settings.fail == "newstring") {
        throw_new("java.lang.OutOfMemoryError", "Java heap space", "");
        return nullptr;
    }
    return jstring(new_ref(make({kind::string, "", std::wstring(reinterpret_cast<const wchar_t*>(chars), size_t(length))})));
}

void JNICALL set_object_array_element(JNIEnv* env, jobjectArray array, jsize index, jobject value) {
    auto guard = enter(env, "SetObjectArrayElement");
    auto* a = const_cast<object*>(deref(array, "SetObjectArrayElement", kind::array));
    const object* v = deref(value, "SetObjectArrayElement");
    if (index < 0 || size_t(index) >= a->elements.size())
        throw_new("java.lang.ArrayIndexOutOfBoundsException",
                  "Index " + std::to_string(index) + " out of bounds for length " + std::to_string(a->elements.size()), "");
    else if (v && a->element_class == vm_data.string_class && v->what != kind::string)
        throw_new("java.lang.ArrayStoreException", "arraycopy: type mismatch", "");
    else
        a->elements[size_t(index)] = v;
}

void JNICALL delete_local_ref(JNIEnv* env, jobject ref) {
    auto guard = enter(env, "DeleteLocalRef", true);
    if (ref) ref_of(ref, "DeleteLocalRef")->live = false;
}

jboolean JNICALL exception_check(JNIEnv* env) {
    auto guard = enter(env, "ExceptionCheck", true);
    return vm_data.pending ? JNI_TRUE : JNI_FALSE;
}

jthrowable JNICALL exception_occurred(JNIEnv* env) {
    auto guard = enter(env, "ExceptionOccurred", true);
    return jthrowable(new_ref(vm_data.pending));
}

void JNICALL exception_clear(JNIEnv* env) {
    auto guard = enter(env, "ExceptionClear", true);
    vm_data.pending = nullptr;
}

// Prints like the real runtime and, like it, clears the exception.
void JNICALL exception_describe(JNIEnv* env) {
    auto guard = enter(env, "ExceptionDescribe", true);
    if (const object* e = vm_data.pending) {
        std::string text = "Exception in thread \"main\" " + e->name;
        if (!e->text.empty()) text += ": " + to_utf8(e->text);
        text += "\r\n\tat " + (e->frame.empty() ? std::string("java.base/java.lang.Thread.run(Thread.java)") : e->frame);
        print_err(text);
        vm_data.pending = nullptr;
    }
}

void call_main(JNIEnv* env, jclass cls, jmethodID method, jobject arg, const char* fn) {
    std::vector<std::optional<std::wstring>> args;
    {
        auto guard = enter(env, fn);
        if (deref(cls, fn, kind::klass) != vm_data.main_class || method != main_method())
            misuse(std::string(fn) + " got a class or method id that do not belong together");
        const object* array = deref(arg, fn, kind::array);
        if (array->element_class != vm_data.string_class) misuse(std::string(fn) + " got an array that is not a String[]");
        for (const object* element : array->elements)
            args.push_back(element ? std::optional(element->text) : std::nullopt);
    }
    bool threw = run_main(args);
    if (threw) {
        std::lock_guard guard(vm_data.lock);
        throw_new("java.lang.RuntimeException", "stub jvm: main threw as scripted",
                  "com.brindle.quill.agent.CompactAgentLauncher.main(CompactAgentLauncher.java)");
    }
}

void JNICALL call_static_void_method_v(JNIEnv* env, jclass cls, jmethodID method, va_list args) {
    call_main(env, cls, method, va_arg(args, jobject), "CallStaticVoidMethodV");
}

// Variadic: always the caller-cleans convention, whatever JNICALL says (compilers ignore it here).
void call_static_void_method(JNIEnv* env, jclass cls, jmethodID method, ...) {
    va_list args;
    va_start(args, method);
    jobject array = va_arg(args, jobject);
    va_end(args);
    call_main(env, cls, method, array, "CallStaticVoidMethod");
}

void JNICALL call_static_void_method_a(JNIEnv* env, jclass cls, jmethodID method, const jvalue* args) {
    if (!args) misuse("CallStaticVoidMethodA got no argument array");
    call_main(env, cls, method, args[0].l, "CallStaticVoidMethodA");
}

std::string slot_name(size_t index) {
    std::string_view names = jni_slot_names;
    for (size_t i = 0; i < index && !names.empty(); ++i) names.remove_prefix(std::min(names.size(), names.find(' ') + 1));
    std::string_view name = names.substr(0, names.find(' '));
    return name.empty() ? "#" + std::to_string(index) : std::string(name);
}

// The stand-in for every slot the program has no business calling: the call cannot go unnoticed.
template <size_t I>
void JNICALL unexpected_call() {
    misuse("unexpected JNI call " + slot_name(I));
}

template <size_t... I>
JNINativeInterface_ make_native_table(std::index_sequence<I...>) {
    void* slots[] = {reinterpret_cast<void*>(&unexpected_call<I>)...};
    JNINativeInterface_ table;
    static_assert(sizeof(slots) == sizeof(table));
    std::memcpy(&table, slots, sizeof(table));
    table.FindClass = find_class;
    table.GetStaticMethodID = get_static_method_id;
    table.NewObjectArray = new_object_array;
    table.NewString = new_string;
    table.SetObjectArrayElement = set_object_array_element;
    table.DeleteLocalRef = delete_local_ref;
    table.ExceptionCheck = exception_check;
    table.ExceptionOccurred = exception_occurred;
    table.ExceptionClear = exception_clear;
    table.ExceptionDescribe = exception_describe;
    table.CallStaticVoidMethod = call_static_void_method;
    table.CallStaticVoidMethodV = call_static_void_method_v;
    table.CallStaticVoidMethodA = call_static_void_method_a;
    return table;
}
const JNINativeInterface_ native_table = make_native_table(std::make_index_sequence<sizeof(JNINativeInterface_) / sizeof(void*)>());

// ---- Invocation interface ------------------------------------------------------------------------

bool is_supported_version(jint version) {
    return version == JNI_VERSION_1_1 || version == JNI_VERSION_1_2 || version == JNI_VERSION_1_4 ||
           version == JNI_VERSION_1_6 || version == JNI_VERSION_1_8;
}

jint JNICALL destroy_java_vm(JavaVM*) {
    std::lock_guard guard(vm_data.lock);
    if (!vm_data.created || vm_data.destroyed) return JNI_ERR;
    vm_data.destroyed = true;
    record.value("destroy.thread", thread_id());
    record.line("destroy");
    return JNI_OK;
}

jint JNICALL attach_current_thread(JavaVM*, void** penv, void*) {
    std::lock_guard guard(vm_data.lock);
    if (vm_data.destroyed) return JNI_ERR;
    auto& env = vm_data.envs[GetCurrentThreadId()];
    if (!env) env.reset(new JNIEnv{&native_table});
    *penv = env.get();
    return JNI_OK;
}

jint JNICALL detach_current_thread(JavaVM*) {
    std::lock_guard guard(vm_data.lock);
    vm_data.envs.erase(GetCurrentThreadId());
    return JNI_OK;
}

jint JNICALL get_env(JavaVM*, void** penv, jint version) {
    std::lock_guard guard(vm_data.lock);
    *penv = nullptr;
    if (!is_supported_version(version)) return JNI_EVERSION;
    auto it = vm_data.envs.find(GetCurrentThreadId());
    if (vm_data.destroyed || it == vm_data.envs.end()) return JNI_EDETACHED;
    *penv = it->second.get();
    return JNI_OK;
}

const JNIInvokeInterface_ invoke_table{nullptr,       nullptr,         nullptr, destroy_java_vm, attach_current_thread,
                                       detach_current_thread, get_env, attach_current_thread};
JavaVM the_vm{&invoke_table};

behaviour parse_main(const std::string& value, jint& status) {
    for (auto [text, b] : {std::pair{"return", behaviour::return_now}, {"wait-shutdown", behaviour::wait_shutdown},
                           {"throw", behaviour::throw_exception}, {"hang", behaviour::hang}})
        if (value == text) return b;
    for (auto [prefix, b] : {std::pair{"exit:", behaviour::exit}, {"thread-exit:", behaviour::thread_exit},
                             {"wait-shutdown-then-exit:", behaviour::wait_shutdown_then_exit}}) {
        if (!starts_with(value, prefix)) continue;
        if (auto n = parse_long(std::string_view(value).substr(strlen(prefix)))) {
            status = jint(*n);
            return b;
        }
    }
    misuse("bad setting -Dstub.main=" + value);
}

DWORD parse_ms(const properties& p, const char* name, DWORD fallback) {
    auto text = p.get(name);
    if (!text) return fallback;
    auto n = parse_long(*text);
    if (!n || *n < 0) misuse(std::string("bad setting -D") + name + "=" + *text);
    return DWORD(*n);
}

script read_script(const properties& p) {
    p.reject_unknown_stub_settings({"record", "main", "poll.ms", "wait.ms", "stop.ms", "fail", "create.status", "spawn",
                                    "spawn.exe", "spawn.env", "spawn.once", "env"},
                                   "stub jvm");
    script s;
    if (auto m = p.get("stub.main")) s.main = parse_main(*m, s.exit_status);
    s.poll_ms = parse_ms(p, "stub.poll.ms", 100);
    if (p.get("stub.wait.ms")) s.wait_ms = parse_ms(p, "stub.wait.ms", 0);
    s.stop_ms = parse_ms(p, "stub.stop.ms", 0);
    s.fail = p.get("stub.fail").value_or("");
    if (!s.fail.empty() && s.fail != "findclass-string" && s.fail != "findclass-main" && s.fail != "getstaticmethodid" &&
        s.fail != "newobjectarray" && s.fail != "newstring")
        misuse("bad setting -Dstub.fail=" + s.fail);
    if (auto c = p.get("stub.create.status")) {
        auto n = parse_long(*c);
        if (!n) misuse("bad setting -Dstub.create.status=" + *c);
        s.create_status = jint(*n);
    }
    s.spawn = p.get("stub.spawn");
    s.spawn_exe = p.get("stub.spawn.exe");
    s.spawn_once = p.get("stub.spawn.once");
    s.spawn_env = p.get_all("stub.spawn.env");
    for (auto& e : s.spawn_env)
        if (e.find('=') == std::string::npos || e.front() == '=') misuse("bad setting -Dstub.spawn.env=" + e);
    if (auto e = p.get("stub.env")) s.env_names = split_list(*e);
    return s;
}

bool is_hook_option(std::string_view text) { return text == "exit" || text == "abort" || text == "vfprintf"; }

}  // namespace

extern "C" JNIEXPORT jint JNICALL JNI_CreateJavaVM(JavaVM** pvm, void** penv, void* raw_args) {
    // Taken before anything else, for the start-up and memory figures of the benchmarks: the moment
    // the host reached the runtime, and what the host process had used up to then.
    LARGE_INTEGER entry_ticks{}, ticks_per_second{};
    QueryPerformanceCounter(&entry_ticks);
    QueryPerformanceFrequency(&ticks_per_second);
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof(memory);
    bool have_memory = K32GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof(memory));

    auto* args = static_cast<JavaVMInitArgs*>(raw_args);
    if (!pvm || !penv || !args) return JNI_EINVAL;
    *pvm = nullptr;
    *penv = nullptr;
    // Other versions lay the start arguments out differently; nothing else of them can be read.
    if (args->version != JNI_VERSION_1_8) return JNI_EVERSION;
    if (args->nOptions < 0 || (args->nOptions > 0 && !args->options)) return JNI_EINVAL;

    std::vector<std::string_view> texts;
    properties props;
    for (jint i = 0; i < args->nOptions; ++i) {
        if (!args->options[i].optionString) return JNI_EINVAL;
        texts.emplace_back(args->options[i].optionString);
        props.add_if_property(texts.back());
    }
    script settings = read_script(props);

    std::lock_guard guard(vm_data.lock);
    if (!record.is_open())
        record.open(props.get("stub.record") ? to_wide(*props.get("stub.record")) : agent_home() + L"\\var\\stub-jvm.record",
                    "stub jvm");
    record.value("pid", std::to_string(GetCurrentProcessId()));
    record.value("create.thread", thread_id());
    record.value("create.entry.qpc", std::to_string(entry_ticks.QuadPart));
    record.value("qpc.frequency", std::to_string(ticks_per_second.QuadPart));
    if (have_memory) {
        record.value("create.entry.working_set", std::to_string(memory.WorkingSetSize));
        record.value("create.entry.peak_working_set", std::to_string(memory.PeakWorkingSetSize));
    }
    record.value("version", "0x00010008");
    record.value("ignore.unrecognized", args->ignoreUnrecognized ? "true" : "false");
    exit_hook hook = nullptr;
    std::map<std::string_view, bool> hooks{{"exit", false}, {"abort", false}, {"vfprintf", false}};
    for (jint i = 0; i < args->nOptions; ++i) {
        record.value("option", texts[i]);
        if (is_hook_option(texts[i])) hooks[texts[i]] = args->options[i].extraInfo != nullptr;
        if (texts[i] == "exit") hook = reinterpret_cast<exit_hook>(args->options[i].extraInfo);
    }
    for (auto& [name, given] : hooks) record.value("hook." + std::string(name), given ? "yes" : "no");
    if (auto cp = props.get("java.class.path")) record.value("classpath", *cp);
    record.value("cwd", current_directory());
    record_environment(record, settings.env_names);

    jint result = JNI_OK;
    if (vm_data.created) result = JNI_EEXIST;
    for (size_t i = 0; result == JNI_OK && i < texts.size(); ++i) {
        if (args->ignoreUnrecognized || is_hook_option(texts[i]) || (starts_with(texts[i], "-") && is_known_dash_option(texts[i])))
            continue;
        print_err("Unrecognized option: " + std::string(texts[i]));
        result = JNI_EINVAL;
    }
    if (result == JNI_OK && settings.create_status) result = *settings.create_status;
    record.value("create.result", std::to_string(result));
    if (result != JNI_OK) return result;

    vm_data.created = true;
    vm_data.settings = std::move(settings);
    vm_data.on_exit = hook;
    vm_data.string_class = make({kind::klass, std::string(string_class_name)});
    vm_data.main_class = make({kind::klass, std::string(main_class_name)});
    auto& env = vm_data.envs[GetCurrentThreadId()];
    env.reset(new JNIEnv{&native_table});
    *pvm = &the_vm;
    *penv = env.get();
    return JNI_OK;
}
