# Reads ctest's log of the last run (Testing/Temporary/LastTest.log) and prints one line per
# skipped GoogleTest test with the reason its GTEST_SKIP() gave: ctest's own summary lists a
# skipped test without its reason.
/^\[ RUN      \] / { name = $4; reason = ""; grab = 0; next }
/: Skipped$/ { grab = 1; next }
/^\[  SKIPPED \] / {
  if (name != "") {
    print "  " name ": " (reason == "" ? "(no reason given)" : reason)
  }
  name = ""; grab = 0; next
}
/^\[       OK \] |^\[  FAILED  \] / { name = ""; grab = 0; next }
grab && NF { reason = reason (reason == "" ? "" : " ") $0 }
