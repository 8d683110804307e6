/*
 * The machine-dependent part of jni.h for Windows, which a JDK for Linux does
 * not ship (its include/linux/jni_md.h is for ELF): the types and linkage that
 * JNI fixes for Windows. The Windows library's build puts
 * this folder where jni.h looks for jni_md.h.
 */
#ifndef _JAVASOFT_JNI_MD_H_
#define _JAVASOFT_JNI_MD_H_

#define JNIEXPORT __declspec(dllexport)
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall

typedef int jint;         /* 32 bits */
typedef long long jlong;  /* 64 bits */
typedef signed char jbyte;

#endif /* !_JAVASOFT_JNI_MD_H_ */
