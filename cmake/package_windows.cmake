# The Windows program as a zip ("cpack -G ZIP" in the build folder): the
# executable, the commented example settings file beside it, the README and
# the manual as text.
#   kelvaring-VERSION-windows-ARCH/kelvaring.exe
#   kelvaring-VERSION-windows-ARCH/kelvaring.ini   every key commented out
#   kelvaring-VERSION-windows-ARCH/README.txt, WINDOWS.txt, MANUAL.txt
configure_file(doc/kelvaring.1.in ${CMAKE_CURRENT_BINARY_DIR}/kelvaring.1 @ONLY)
find_program(KELVARING_GROFF groff)
set(KELVARING_MANUAL_TEXT ${CMAKE_CURRENT_BINARY_DIR}/MANUAL.txt)
if(KELVARING_GROFF)
  # Plain ASCII: no escape sequences, no overstriking.
  add_custom_command(OUTPUT ${KELVARING_MANUAL_TEXT}
                     COMMAND ${KELVARING_GROFF} -man -Tascii -P-cbou ${CMAKE_CURRENT_BINARY_DIR}/kelvaring.1 > ${KELVARING_MANUAL_TEXT}
                     DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/kelvaring.1 VERBATIM)
  add_custom_target(manual_text ALL DEPENDS ${KELVARING_MANUAL_TEXT})
  install(FILES ${KELVARING_MANUAL_TEXT} DESTINATION .)
else()
  message(STATUS "groff not found: the Windows package goes without the manual")
endif()

install(TARGETS kelvaring RUNTIME DESTINATION .)
install(FILES doc/kelvaring.ini DESTINATION .)
install(FILES README.md DESTINATION . RENAME README.txt)
install(FILES docs/windows.md DESTINATION . RENAME WINDOWS.txt)

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(KELVARING_WINDOWS_ARCH x64)
else()
  set(KELVARING_WINDOWS_ARCH x86)
endif()
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME kelvaring)
set(CPACK_PACKAGE_VENDOR Kelvaring)
set(CPACK_PACKAGE_FILE_NAME kelvaring-${PROJECT_VERSION}-windows-${KELVARING_WINDOWS_ARCH})
set(CPACK_STRIP_FILES ON)
include(CPack)
