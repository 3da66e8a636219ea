# The built DLL read from outside by a PE parser: exports, imports and the
# version block. Needs no Windows and no Wine.
add_test(NAME dll.inspect
  COMMAND /usr/bin/python3 ${PROJECT_SOURCE_DIR}/tests/check_dll.py $<TARGET_FILE:cpuspeed>)
