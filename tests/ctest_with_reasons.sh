#!/bin/sh
# Runs ctest in the current folder with the arguments given, then says why each skipped test
# was skipped, from what it printed (ctest itself says only "Skipped"). Exits as ctest did.
mkdir -p Testing
{ ctest "$@"; echo $? > Testing/status; } | tee Testing/summary
sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (Skipped)$/\1/p' Testing/summary | while read -r name; do
  awk -v name="$name" '
    /^[0-9]+\/[0-9]+ Test: / { sub(/^[0-9]+\/[0-9]+ Test: /, ""); mine = $0 == name; next }
    !mine { next }
    /^Output:$/ { getline; inside = 1; next }
    /^<end of output>$/ { inside = 0; next }
    !inside { next }
    /: Skipped$/ { gtest = 1; taking = 1; next }
    /^\[  SKIPPED \]|^Google Test trace:/ { taking = 0 }
    taking { reason = reason "\n    " $0 }
    { all = all "\n    " $0 }
    END { print "skipped: " name ":" (gtest ? reason : all) }
  ' Testing/Temporary/LastTest.log
done
exit "$(cat Testing/status)"
