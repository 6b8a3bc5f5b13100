# Run by CPack before it packs (CPACK_PRE_BUILD_SCRIPTS) in a tree built with
# TARVEX_TEST_HOOKS: such programs take their devices, drives and state file
# from the environment, which is for tests and never for a user's machine.
message(FATAL_ERROR "This build tree honours the test hooks (TARVEX_TEST_HOOKS=ON): "
  "build the package from the \"deb\" preset instead (cmake --preset deb && cmake --build --preset deb && "
  "cpack -G DEB --config build/deb/CPackConfig.cmake -B build/deb)")
