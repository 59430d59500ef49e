# `make install`: the library and its two programs side by side, since the
# library finds binhaul beside itself and strandel finds the library there;
# bin/strandel links to the program, for the PATH.
set_target_properties(strandel_cli PROPERTIES INSTALL_RPATH "$ORIGIN")
install(TARGETS strandel strandel_cli binhaul
  LIBRARY DESTINATION lib/strandel RUNTIME DESTINATION lib/strandel)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/packaging/bin)
file(CREATE_LINK ../lib/strandel/strandel ${CMAKE_BINARY_DIR}/packaging/bin/strandel SYMBOLIC)
install(FILES ${CMAKE_BINARY_DIR}/packaging/bin/strandel DESTINATION bin)
install(FILES include/strandel/strandel.h DESTINATION include/strandel)

# `make deb`: the same layout under /usr as a Debian package, with a user unit
# and a system unit for systemd. The units name /usr/bin/strandel, so they
# belong to the package only, not to `make install`.
set(STRANDEL_USER_UNIT ${CMAKE_BINARY_DIR}/packaging/user/strandel.service)
file(READ contrib/strandel.service user_unit)
string(REPLACE "ExecStart=%h/.local/lib/strandel/strandel " "ExecStart=/usr/bin/strandel "
       packaged_user_unit "${user_unit}")
if(packaged_user_unit STREQUAL user_unit)
  message(FATAL_ERROR "contrib/strandel.service no longer names ~/.local/lib/strandel/strandel")
endif()
file(CONFIGURE OUTPUT ${STRANDEL_USER_UNIT} CONTENT "${packaged_user_unit}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS contrib/strandel.service)
install(FILES ${STRANDEL_USER_UNIT} DESTINATION lib/systemd/user
  COMPONENT systemd EXCLUDE_FROM_ALL)
install(FILES contrib/strandel-system.service DESTINATION lib/systemd/system
  RENAME strandel.service COMPONENT systemd EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME strandel)
set(CPACK_PACKAGE_CONTACT "Strandel developers <strandel@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "keeps pairs of directories in step, in real time")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded at run time: a root daemon finds the console user through sd-login.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS libsystemd0)
set(CPACK_STRIP_FILES ON)
# strandel and binhaul find libstrandel.so beside themselves, not in the
# system's library path; this is where dpkg-shlibdeps finds it at build time.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/src/entry)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL Unspecified systemd)
# Packaging needs the installed targets only, not the tests and examples.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
include(CPack)
