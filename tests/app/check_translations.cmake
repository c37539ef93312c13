# Runs lupdate over the window's sources into a copy of the kept English .ts: a text that is new, or
# changed since the .ts was last brought up to date, comes out unfinished, and one that is gone comes
# out vanished. Run with -DLUPDATE=... -DSOURCE_DIR=... -DWORK_DIR=...
set(kept "${SOURCE_DIR}/resources/translations/brindle_en.ts")
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
file(COPY "${kept}" DESTINATION "${WORK_DIR}")
execute_process(
  COMMAND "${LUPDATE}" -locations none -I "${SOURCE_DIR}/src"
          "${SOURCE_DIR}/src/app" "${SOURCE_DIR}/src/view" "${SOURCE_DIR}/src/controls"
          -ts "${WORK_DIR}/brindle_en.ts"
  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "lupdate failed:\n${out}")
endif()
file(READ "${WORK_DIR}/brindle_en.ts" updated)
string(REGEX MATCHALL "<source>[^<]*</source>[ \n]*<translation type=\"(unfinished|vanished|obsolete)\"" stale "${updated}")
if(stale)
  string(REPLACE ";" "\n" stale "${stale}")
  message(FATAL_ERROR "resources/translations/brindle_en.ts is behind the sources "
                      "(cmake --build build --target update_translations, then translate):\n${stale}")
endif()
string(REGEX MATCHALL "<source>" sources "${updated}")
list(LENGTH sources count)
if(count LESS 50)
  message(FATAL_ERROR "lupdate found only ${count} texts in the sources")
endif()
