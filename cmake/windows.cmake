# The Windows build: quentrel.dll from the same sources as the Linux library, over the Windows
# SDK's own headers and import libraries. Cross-built here with MinGW-w64 (the toolchain files
# beside this one); on Windows, MSVC or MinGW-w64 with CMake build it the same way.

# ---- JNI: the JDK's jni.h, with the Windows jni_md.h from cmake/include -------------------------
# A cross build has no Windows JDK at hand: the build machine's jni.h is the same on every
# platform, only jni_md.h differs, and cmake/include supplies the Windows one.
if(DEFINED ENV{JAVA_HOME})
  set(quentrel_jdk "$ENV{JAVA_HOME}")
else()
  find_program(QUENTREL_HOST_JAVA java REQUIRED NO_CMAKE_FIND_ROOT_PATH)
  file(REAL_PATH ${QUENTREL_HOST_JAVA} java_real)
  get_filename_component(java_bin ${java_real} DIRECTORY)
  get_filename_component(quentrel_jdk ${java_bin} DIRECTORY)
endif()
find_path(QUENTREL_JNI_INCLUDE jni.h PATHS ${quentrel_jdk}/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)

# ---- the library --------------------------------------------------------------------------------
add_library(quentrel SHARED ${QUENTREL_SOURCES})
set_target_properties(quentrel PROPERTIES PREFIX "" OUTPUT_NAME quentrel)
target_include_directories(quentrel PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/src
                           ${CMAKE_CURRENT_SOURCE_DIR}/cmake/include ${QUENTREL_JNI_INCLUDE})
# Windows 7 is the oldest system the library calls into; nothing newer may creep in unnoticed.
target_compile_definitions(quentrel PRIVATE _WIN32_WINNT=0x0601 WINVER=0x0601)
target_link_libraries(quentrel PRIVATE secur32 advapi32 authz shell32 netapi32)

if(MSVC)
  # The static C runtime, so that the DLL needs only system DLLs. On x86, __declspec(dllexport)
  # exports the decorated names (_Java_..._CreateContext@24), which the JVM looks up first.
  set_property(TARGET quentrel PROPERTY MSVC_RUNTIME_LIBRARY "MultiThreaded$<$<CONFIG:Debug>:Debug>")
  target_compile_options(quentrel PRIVATE /W4 /utf-8 /EHsc)
else()
  target_compile_options(quentrel PRIVATE -Wall -Wextra -Werror)
  # The C++ runtime, libgcc and winpthread linked in, so that the DLL needs only system DLLs.
  target_link_options(quentrel PRIVATE -static -static-libgcc -static-libstdc++)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    # MinGW would export stdcall functions as Java_...@24, a name the 32-bit JVM never asks for
    # (it tries _Java_...@24, then Java_...). Plain names are what it finds.
    target_link_options(quentrel PRIVATE -Wl,--kill-at)
  endif()
endif()

# ---- checks of the DLL and, where the build machine runs Windows programs, the Wine suite -------
if(QUENTREL_TESTS AND NOT MSVC)
  enable_testing()
  add_test(NAME dll COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/scripts/check-dll.sh --all $<TARGET_FILE:quentrel>
           ${CMAKE_CURRENT_SOURCE_DIR}/java/com/tarvex/pelk/quentrel ${CMAKE_OBJDUMP} ${CMAKE_NM})
  add_subdirectory(tests/wine)
endif()
