# quentrel.jar: the compiled classes, plus the native library of this platform (with the stand-in
# host it runs on) and the Windows DLLs when they have been built, under
# com/tarvex/pelk/quentrel/native/PLATFORM/. The package loads the copy for the running platform
# when the library is not on java.library.path.
#
# QUENTREL_JAR_WINDOWS_DLLS: the DLLs to pack when they exist, as PLATFORM=PATH entries; by
# default those of the MinGW-w64 builds in build-win64 and build-win32 beside the sources (or the
# folders $QUENTREL_WIN64_BUILD_DIR and $QUENTREL_WIN32_BUILD_DIR name at configure time). They
# are taken as they are when the jar is made: after building them, make the target
# quentrel_jar_repack to pack them.
set(QUENTREL_JAR_WINDOWS_DLLS "" CACHE STRING "Windows DLLs to pack into quentrel.jar, as PLATFORM=PATH entries")
set(jar_windows_dlls ${QUENTREL_JAR_WINDOWS_DLLS})
if(NOT jar_windows_dlls)
  # The folders scripts/build-windows.sh builds in, relative to the sources.
  foreach(build IN ITEMS "x86_64;WIN64;build-win64" "x86;WIN32;build-win32")
    list(GET build 0 arch)
    list(GET build 1 variable)
    list(GET build 2 folder)
    if(DEFINED ENV{QUENTREL_${variable}_BUILD_DIR})
      set(folder $ENV{QUENTREL_${variable}_BUILD_DIR})
    endif()
    get_filename_component(folder ${folder} ABSOLUTE BASE_DIR ${CMAKE_SOURCE_DIR})
    list(APPEND jar_windows_dlls "windows-${arch}=${folder}/quentrel.dll")
  endforeach()
endif()

# The same names as the running JVM's os.name and os.arch give, in NativeLibrary.platform().
string(TOLOWER "${CMAKE_SYSTEM_NAME}" jar_os)
string(TOLOWER "${CMAKE_SYSTEM_PROCESSOR}" jar_arch)
if(jar_arch MATCHES "^(amd64|x86_64)$")
  set(jar_arch x86_64)
elseif(jar_arch MATCHES "^(arm64|aarch64)$")
  set(jar_arch aarch64)
elseif(jar_arch MATCHES "^i[3-6]86$")
  set(jar_arch x86)
endif()
set(QUENTREL_JAR_PLATFORM ${jar_os}-${jar_arch})

# The stand-in host first: the list is also the order of extraction. Lists go to the script
# joined by "|", since a ";" would split the argument.
string(REPLACE ";" "|" jar_optional "${jar_windows_dlls}")
set(jar_pack ${CMAKE_COMMAND}
  "-DCLASSES_JAR=${CMAKE_BINARY_DIR}/jar/quentrel-classes.jar" "-DOUTPUT_JAR=${CMAKE_BINARY_DIR}/quentrel.jar"
  "-DSTAGE=${CMAKE_BINARY_DIR}/jar/stage" "-DJAR_TOOL=${Java_JAR_EXECUTABLE}"
  "-DNATIVE=${QUENTREL_JAR_PLATFORM}=$<TARGET_FILE:winhost>|${QUENTREL_JAR_PLATFORM}=$<TARGET_FILE:quentrel>"
  "-DOPTIONAL=${jar_optional}"
  -P ${CMAKE_CURRENT_LIST_DIR}/pack-jar.cmake)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/quentrel.jar
  COMMAND ${jar_pack}
  DEPENDS quentrel_classes ${CMAKE_BINARY_DIR}/jar/quentrel-classes.jar quentrel winhost
          ${CMAKE_CURRENT_LIST_DIR}/pack-jar.cmake
  COMMENT "Packing the native library into quentrel.jar"
  VERBATIM)
add_custom_target(quentrel_jar ALL DEPENDS ${CMAKE_BINARY_DIR}/quentrel.jar)
set_property(TARGET quentrel_jar PROPERTY JAR_FILE ${CMAKE_BINARY_DIR}/quentrel.jar)
add_custom_target(quentrel_jar_repack COMMAND ${jar_pack} DEPENDS quentrel_jar VERBATIM)
