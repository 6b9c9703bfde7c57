// The smallest host of a jvm.dll, the baseline of the program's start-up cost: load the library,
// create the virtual machine with the options given, run the launcher class's main, destroy it.
//
//   minimal_launcher JVM_DLL [JVM option]...
// Exit codes: 0 main returned, 1 main threw, 3 library not loadable, 4 creation failed, 5 a step
// before main failed.
#include <jni.h>
#include <windows.h>

#include <string>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    HMODULE module = argc > 1 ? LoadLibraryExW(argv[1], nullptr, 0) : nullptr;
    using create_function = jint(JNICALL*)(JavaVM**, void**, void*);
    auto create = module ? reinterpret_cast<create_function>(
                               reinterpret_cast<void*>(GetProcAddress(module, "JNI_CreateJavaVM")))
                         : nullptr;
    if (!create) return 3;
    std::vector<std::string> texts;
    for (int i = 2; i < argc; ++i) {
        int size = WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
        std::string text(size_t(size), '\0');
        WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, text.data(), size, nullptr, nullptr);
        texts.push_back(text);
    }
    std::vector<JavaVMOption> options;
    for (std::string& text : texts) options.push_back({text.data(), nullptr});
    JavaVMInitArgs init{JNI_VERSION_1_8, jint(options.size()), options.empty() ? nullptr : options.data(), JNI_FALSE};
    JavaVM* vm = nullptr;
    JNIEnv* env = nullptr;
    if (create(&vm, reinterpret_cast<void**>(&env), &init) != JNI_OK) return 4;
    jclass string_class = env->FindClass("java/lang/String");
    jclass main_class = string_class ? env->FindClass("com/brindle/quill/agent/CompactAgentLauncher") : nullptr;
    jmethodID main = main_class ? env->GetStaticMethodID(main_class, "main", "([Ljava/lang/String;)V") : nullptr;
    jobjectArray args = main ? env->NewObjectArray(0, string_class, nullptr) : nullptr;
    if (!args) return 5;
    env->CallStaticVoidMethod(main_class, main, args);
    int status = env->ExceptionCheck() ? 1 : 0;
    if (status) env->ExceptionClear();
    vm->DestroyJavaVM();
    return status;
}
