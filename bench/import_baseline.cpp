// A baseline with the same imports as agent.exe and nothing of its work: it links the system
// libraries the program links (so that starting it loads and initialises the same DLLs), then,
// like the minimal launcher, loads a jvm.dll and calls JNI_CreateJavaVM. Comparing the program with
// it separates what the program itself costs from what its system libraries cost.
//
//   import_baseline --no-jvm                     ends at once (exit code 0)
//   import_baseline JVM_DLL [JVM option]...      creates the JVM, then ends (0, or 3/4 on failure)
#include <windows.h>


#include <cwchar>
#include <string>
#include <vector>

namespace {

// Referenced through volatile storage so that the linker keeps one import of every library.
const void* volatile keep_imports[] = {
    reinterpret_cast<const void*>(&OpenSCManagerW),           // ADVAPI32
};

struct java_vm_option {
    char* text;
    void* extra;
};
struct java_vm_init_args {
    long version;
    long count;
    java_vm_option* options;
    unsigned char ignore_unrecognized;
};

std::string narrow(const wchar_t* text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    out.resize(static_cast<size_t>(size > 0 ? size - 1 : 0));
    return out;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    for (const void* volatile& import : keep_imports)
        if (import == nullptr) return 1;
    if (argc < 2 || std::wcscmp(argv[1], L"--no-jvm") == 0) return 0;
    HMODULE module = LoadLibraryExW(argv[1], nullptr, 0);
    if (module == nullptr) return 3;
    using create_function = long(__stdcall*)(void**, void**, void*);
    auto create = reinterpret_cast<create_function>(reinterpret_cast<void*>(GetProcAddress(module, "JNI_CreateJavaVM")));
    if (create == nullptr) return 3;
    std::vector<std::string> texts;
    for (int i = 2; i < argc; ++i) texts.push_back(narrow(argv[i]));
    std::vector<java_vm_option> options;
    for (std::string& text : texts) options.push_back({text.data(), nullptr});
    java_vm_init_args args{0x00010008, static_cast<long>(options.size()), options.empty() ? nullptr : options.data(), 0};
    void* vm = nullptr;
    void* env = nullptr;
    return create(&vm, &env, &args) == 0 ? 0 : 4;
}
