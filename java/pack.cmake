# quentrel.jar: the compiled classes, plus the native library of this platform (with the stand-in
# host it runs on) and any Windows DLLs built elsewhere, under com/tarvex/pelk/quentrel/native/
# PLATFORM/, each folder with a list of its files in "files". The package loads the copy for the
# running platform when the library is not on java.library.path.
#
# QUENTREL_JAR_WINDOWS_DLLS: DLLs to pack as PLATFORM=PATH entries, e.g.
#   -DQUENTREL_JAR_WINDOWS_DLLS="windows-x86_64=/path/to/quentrel.dll;windows-x86=/other/quentrel.dll"
set(QUENTREL_JAR_WINDOWS_DLLS "" CACHE STRING "Windows DLLs to pack into quentrel.jar, as PLATFORM=PATH entries")

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

set(jar_stage ${CMAKE_BINARY_DIR}/jar/stage)
set(jar_native com/tarvex/pelk/quentrel/native)
set(jar_lists ${CMAKE_BINARY_DIR}/jar/lists)
file(GENERATE OUTPUT ${jar_lists}/${QUENTREL_JAR_PLATFORM}
     CONTENT "$<TARGET_FILE_NAME:winhost>\n$<TARGET_FILE_NAME:quentrel>\n")
set(jar_commands
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${jar_stage}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${jar_stage}/${jar_native}/${QUENTREL_JAR_PLATFORM}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:winhost> $<TARGET_FILE:quentrel>
          ${jar_stage}/${jar_native}/${QUENTREL_JAR_PLATFORM}/
  COMMAND ${CMAKE_COMMAND} -E copy ${jar_lists}/${QUENTREL_JAR_PLATFORM}
          ${jar_stage}/${jar_native}/${QUENTREL_JAR_PLATFORM}/files)
set(jar_depends quentrel_classes ${CMAKE_BINARY_DIR}/jar/quentrel-classes.jar quentrel winhost)
foreach(entry IN LISTS QUENTREL_JAR_WINDOWS_DLLS)
  if(NOT entry MATCHES "^(windows-[a-z0-9_]+)=(.+)$")
    message(FATAL_ERROR "QUENTREL_JAR_WINDOWS_DLLS: '${entry}' is not PLATFORM=PATH")
  endif()
  set(dll_platform ${CMAKE_MATCH_1})
  set(dll_path ${CMAKE_MATCH_2})
  get_filename_component(dll_name ${dll_path} NAME)
  file(WRITE ${jar_lists}/${dll_platform} "${dll_name}\n")
  list(APPEND jar_commands
    COMMAND ${CMAKE_COMMAND} -E make_directory ${jar_stage}/${jar_native}/${dll_platform}
    COMMAND ${CMAKE_COMMAND} -E copy ${dll_path} ${jar_stage}/${jar_native}/${dll_platform}/
    COMMAND ${CMAKE_COMMAND} -E copy ${jar_lists}/${dll_platform} ${jar_stage}/${jar_native}/${dll_platform}/files)
  list(APPEND jar_depends ${dll_path})
endforeach()

add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/quentrel.jar
  ${jar_commands}
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_BINARY_DIR}/jar/quentrel-classes.jar ${CMAKE_BINARY_DIR}/quentrel.jar
  COMMAND ${Java_JAR_EXECUTABLE} uf ${CMAKE_BINARY_DIR}/quentrel.jar -C ${jar_stage} com
  DEPENDS ${jar_depends}
  COMMENT "Packing the native library into quentrel.jar"
  VERBATIM)
add_custom_target(quentrel_jar ALL DEPENDS ${CMAKE_BINARY_DIR}/quentrel.jar)
set_property(TARGET quentrel_jar PROPERTY JAR_FILE ${CMAKE_BINARY_DIR}/quentrel.jar)
