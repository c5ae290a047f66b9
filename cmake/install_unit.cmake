# Runs while installing: the systemd unit, its ExecStart in the install
# prefix, into share/doc/kelvaring. Each destination's copy is configured
# in a folder of its own, as the tests install into several at once (a
# temporary prefix and the Debian package's).
string(MD5 destination "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(unit "${KELVARING_UNIT_FOLDER}/${destination}/kelvaring.service")
configure_file("${KELVARING_UNIT_TEMPLATE}" "${unit}" @ONLY)
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/share/doc/kelvaring" TYPE FILE FILES "${unit}")
file(REMOVE_RECURSE "${KELVARING_UNIT_FOLDER}/${destination}")
