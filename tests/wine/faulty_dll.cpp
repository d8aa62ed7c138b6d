// A DLL with the faults that the checks of quentrel.dll are there to catch: a JNI_OnLoad, a name
// no native method bears, a native whose parameters differ from its Java declaration (which on x86
// shows as the wrong stdcall size), and the C++ runtime as a DLL of its own.
#include <jni.h>

#include <string>

extern "C" JNIEXPORT jint JNICALL JNI_OnLoad(JavaVM*, void*) { return JNI_VERSION_1_8; }

extern "C" JNIEXPORT jstring JNICALL Java_com_tarvex_pelk_quentrel_SSPI_Helper(JNIEnv* env, jclass) {
  const std::string text = "helper";
  return env->NewStringUTF(text.c_str());
}

extern "C" JNIEXPORT void JNICALL Java_com_tarvex_pelk_quentrel_SSPI_FreeHandle(JNIEnv*, jclass, jint, jint) {}
