# The module as the 32-bit Windows DLL the host loads: stdcall entry points
# exported under both names, the load notification and the version block.
enable_language(RC)
target_sources(cpuspeed PRIVATE
  ${PROJECT_SOURCE_DIR}/plugin/dll_main.cpp
  ${PROJECT_SOURCE_DIR}/plugin/version.rc
  ${PROJECT_SOURCE_DIR}/plugin/cpuspeed.def)
set_target_properties(cpuspeed PROPERTIES SUFFIX ".dll")
target_link_options(cpuspeed PRIVATE -static-libgcc -static-libstdc++)
