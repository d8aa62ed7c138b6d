/* The machine-dependent part of the JNI header for Windows (x86 and x64), for building against a
 * JDK whose own jni_md.h is for another platform. The types and macros are those of the JDK's
 * Windows header: a 32-bit long for jint, the standard calling convention for JNICALL (which only
 * matters on x86, where the JVM calls natives with it), and the DLL import/export attributes. */
#ifndef _JAVASOFT_JNI_MD_H_
#define _JAVASOFT_JNI_MD_H_

#ifndef JNIEXPORT
#define JNIEXPORT __declspec(dllexport)
#endif
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall

typedef long jint;
typedef __int64 jlong;
typedef signed char jbyte;

#endif /* !_JAVASOFT_JNI_MD_H_ */
