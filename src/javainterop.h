#pragma once
// Finding a Java runtime of this program's own bitness under a Java home and running Java in this
// process through JNI.

#include <jni.h>

#include <string>
#include <vector>

class file_handle;

// The machine a Java runtime's images must have: a DLL is loaded into this very process, so only a
// runtime built for the program's own machine can be hosted (0x014C in the PE32 program, 0x8664 in
// the x64 one).
#if defined(_M_X64) || defined(__x86_64__)
constexpr unsigned short own_image_machine = 0x8664;
#else
constexpr unsigned short own_image_machine = 0x014C;
#endif

// The machine field of a Windows image (MZ, PE signature), or 0 for a file that is no image.
unsigned short image_machine(file_handle& file);
bool locate_jvm_dll(const std::wstring& java_home, std::wstring& jvm_base, std::wstring& jvm_dll);
bool locate_java_exe(const std::wstring& java_home, std::wstring& java_exe);
std::wstring get_java_exe(const std::wstring& java_home);

using jvm_exit_hook = void(JNICALL*)(jint status);
// The service host installs its hook when its instance exists; the VM then reports its end there
// instead of ending the process itself.
void set_jvm_exit_hook(jvm_exit_hook hook);

void create_jvm(const std::wstring& java_home, const std::vector<std::wstring>& options,
                const std::vector<std::wstring>& class_path, JavaVM** vm, JNIEnv** env);
// Runs the static main(String[]) of the class; every failure ends the process.
void call_java_main_method(JNIEnv* env, const std::wstring& class_name, const std::vector<std::wstring>& arguments);
