/* Machine-dependent JNI types for 32-bit Windows; OpenJDK's jni.h includes this file. */
#ifndef AGENT_JNI_MD_H
#define AGENT_JNI_MD_H

#define JNIEXPORT __declspec(dllexport)
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall

typedef long jint;
typedef long long jlong;
typedef signed char jbyte;

#endif
