imbrix_add_test_suite(cli LIBS PkgConfig::RSVG imbrix_platform)
if(TARGET imbrix_cli_tests)
  # The tests run the built imbrix-cli and its converter front.
  add_dependencies(imbrix_cli_tests imbrix_cli imbrix_magick)
endif()

# imbrix-cli as GNU parallel's worker: over two processes, and over ssh to this
# machine as two hosts (an sshd of the test's own); workers on two sshfs mounts
# of one folder. Exit 77: skipped, saying why.
foreach(mode IN ITEMS pipe ssh sshfs)
  add_test(NAME CliManyMachines.GnuParallel_${mode}
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/cli/many_machines_test.sh ${mode}
            $<TARGET_FILE:imbrix_cli> ${PROJECT_SOURCE_DIR})
  set_tests_properties(CliManyMachines.GnuParallel_${mode} PROPERTIES
    LABELS cli SKIP_RETURN_CODE 77 TIMEOUT 300)
endforeach()

# The recipes of deploy/: linted (shellcheck, yamllint), and run here as a Slurm
# array's tasks and a Kubernetes Indexed Job's pods would be started.
add_test(NAME CliManyMachines.DeployRecipes
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/cli/deploy_test.sh $<TARGET_FILE:imbrix_cli> ${PROJECT_SOURCE_DIR})
set_tests_properties(CliManyMachines.DeployRecipes PROPERTIES LABELS cli TIMEOUT 300)
