# The installed layout. The program reads the settings file beside its own
# real path, so the executable lives in a folder of its own where a link
# leads that file to /etc:
#   lib/kelvaring/kelvaring        the executable
#   lib/kelvaring/kelvaring.ini -> /etc/kelvaring.ini
#   bin/kelvaring               -> ../lib/kelvaring/kelvaring
#   share/man/man1/kelvaring.1
#   share/doc/kelvaring/           README.md, an example settings file and
#                                  the examples for collecting results logs
#                                  and metrics, slurm/ the Slurm burn-in
# The systemd unit is an example to copy to /etc/systemd/system and adjust
# (the size suits the machine), so it goes with the other examples, not
# where systemd would find it. Its ExecStart names the program of the
# prefix given at install time (`cmake --install --prefix`, or /usr for the
# Debian package), so it is configured while installing, not while
# configuring.
configure_file(doc/kelvaring.1.in ${CMAKE_CURRENT_BINARY_DIR}/kelvaring.1 @ONLY)

set(KELVARING_LINKS ${CMAKE_CURRENT_BINARY_DIR}/install-links)
file(MAKE_DIRECTORY ${KELVARING_LINKS})
file(CREATE_LINK ../lib/kelvaring/kelvaring ${KELVARING_LINKS}/kelvaring SYMBOLIC)
file(CREATE_LINK /etc/kelvaring.ini ${KELVARING_LINKS}/kelvaring.ini SYMBOLIC)

install(TARGETS kelvaring RUNTIME DESTINATION lib/kelvaring)
# Installed as links, not as the files they lead to.
install(FILES ${KELVARING_LINKS}/kelvaring.ini DESTINATION lib/kelvaring)
install(FILES ${KELVARING_LINKS}/kelvaring DESTINATION bin)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kelvaring.1 DESTINATION share/man/man1)
install(FILES README.md doc/kelvaring.ini docs/kelvaring-job.yaml
              docs/kelvaring-daemonset.yaml docs/kelvaring-alerts.yaml
        DESTINATION share/doc/kelvaring)
# The Slurm burn-in: a batch script and an Epilog to copy to the cluster.
install(FILES docs/slurm/README.md DESTINATION share/doc/kelvaring/slurm)
install(PROGRAMS docs/slurm/kelvaring-burnin.sbatch docs/slurm/kelvaring-epilog DESTINATION share/doc/kelvaring/slurm)
install(CODE "set(KELVARING_UNIT_TEMPLATE \"${PROJECT_SOURCE_DIR}/docs/kelvaring.service.in\")
              set(KELVARING_UNIT_FOLDER \"${CMAKE_CURRENT_BINARY_DIR}/install-unit\")")
install(SCRIPT cmake/install_unit.cmake)
