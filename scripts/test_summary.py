"""Prints one closing line, "tests: N passed, N failed", from a meson test log."""
import json
import sys

passed = failed = skipped = 0
with open(sys.argv[1], encoding="utf-8") as log:
    for line in log:
        result = json.loads(line)["result"]
        if result in ("OK", "EXPECTEDFAIL"):
            passed += 1
        elif result == "SKIP":
            skipped += 1
        else:
            failed += 1
print(f"tests: {passed} passed, {failed} failed, {skipped} skipped")
