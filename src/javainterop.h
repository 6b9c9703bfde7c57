#pragma once
// Finding a 32-bit Java runtime under a Java home and running Java in this process through JNI.

#include <jni.h>

#include <string>
#include <vector>

class file_handle;

// True for a 32-bit x86 Windows image (MZ, PE signature, machine 0x014C).
bool is_valid_x86_binary(file_handle& file);
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
