# The zip a Windows user unpacks and runs: twinfold.exe with the Qt and
# MinGW DLLs it imports beside it, and the plugins where Qt looks for them by
# default (platforms/ and styles/ next to the program), so no qt.conf is
# needed. `cpack -G ZIP` in the build tree, or `./dev package --windows`.
install(TARGETS twinfold RUNTIME DESTINATION .)
install(FILES $<TARGET_FILE:Qt5::QWindowsIntegrationPlugin> DESTINATION platforms)
install(FILES $<TARGET_FILE:Qt5::QWindowsVistaStylePlugin> DESTINATION styles)

# Where the imported DLLs live: Qt's bin/ and the MinGW runtime (libstdc++
# and libgcc_s beside the compiler's libgcc, libwinpthread in the sysroot).
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-libgcc-file-name
    OUTPUT_VARIABLE libgcc OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(gcc_dir "${libgcc}" DIRECTORY)
find_program(TWINFOLD_OBJDUMP NAMES x86_64-w64-mingw32-objdump REQUIRED)
find_program(TWINFOLD_STRIP NAMES x86_64-w64-mingw32-strip REQUIRED)
install(CODE "
    set(TWINFOLD_DEPLOY_ROOT \"\${CMAKE_INSTALL_PREFIX}\")
    set(TWINFOLD_DLL_DIRS \"$<TARGET_FILE_DIR:Qt5::Core>;${gcc_dir};/usr/x86_64-w64-mingw32/lib\")
    set(TWINFOLD_OBJDUMP \"${TWINFOLD_OBJDUMP}\")
    set(TWINFOLD_STRIP \"${TWINFOLD_STRIP}\")
    include(\"${PROJECT_SOURCE_DIR}/cmake/windows_runtime_dlls.cmake\")
")

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME twinfold)
set(CPACK_SYSTEM_NAME windows-x86_64)
set(CPACK_STRIP_FILES ON)
include(CPack)
