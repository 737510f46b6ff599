# Puts the two Windows executables, the README for Windows users and the
# licence into one ZIP, with the line ends Notepad expects:
#   cmake -DVERSION=1.0.0 -DX64=build-win/netvane.exe -DX86=build-win32/netvane.exe
#         -DOUTPUT=dist/netvane-1.0.0-windows.zip -P packaging/windows_zip.cmake
foreach(name VERSION X64 X86 OUTPUT)
  if(NOT DEFINED ${name})
    message(FATAL_ERROR "windows_zip.cmake needs -D${name}=...")
  endif()
endforeach()
get_filename_component(OUTPUT ${OUTPUT} ABSOLUTE)
get_filename_component(source ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)

set(stage ${OUTPUT}.stage)
file(REMOVE_RECURSE ${stage})
file(MAKE_DIRECTORY ${stage}/x64 ${stage}/x86)
file(COPY_FILE ${X64} ${stage}/x64/netvane.exe)
file(COPY_FILE ${X86} ${stage}/x86/netvane.exe)
set(PROJECT_VERSION ${VERSION})
configure_file(${CMAKE_CURRENT_LIST_DIR}/windows/README.txt.in ${stage}/README.txt
               @ONLY NEWLINE_STYLE CRLF)
configure_file(${source}/LICENSE ${stage}/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)

# Every entry gets the same time, so the same executables give the same ZIP.
file(REMOVE ${OUTPUT})
execute_process(
  COMMAND ${CMAKE_COMMAND} -E tar cf ${OUTPUT} --format=zip "--mtime=2026-01-01 00:00:00 UTC"
          x64/netvane.exe x86/netvane.exe README.txt LICENSE.txt
  WORKING_DIRECTORY ${stage}
  RESULT_VARIABLE result)
file(REMOVE_RECURSE ${stage})
if(NOT result EQUAL 0)
  message(FATAL_ERROR "could not write ${OUTPUT}")
endif()
