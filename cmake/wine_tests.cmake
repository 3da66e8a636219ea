# Under Wine: one wineserver for the whole run, started before the first test
# and stopped after the last, so that no test leaves it holding CTest's pipes.
# The server may already have gone by itself a few seconds after the last
# program ended: stopping one that is not running is not a failure.
add_test(NAME wine.start COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} wineboot --init)
set_tests_properties(wine.start PROPERTIES FIXTURES_SETUP wine TIMEOUT 600)
add_test(NAME wine.stop
  COMMAND env WINEPREFIX=${METER_WINEPREFIX} sh -c "wineserver --kill 2>/dev/null; exec wineserver --wait")
set_tests_properties(wine.stop PROPERTIES FIXTURES_CLEANUP wine)
set_tests_properties(wine.start wine.stop PROPERTIES LABELS "module;dll")
