"""Prints one closing line, "<label>: N passed, N failed, N skipped", from a meson test log."""
import json
import sys

log_path = sys.argv[1]
label = sys.argv[2] if len(sys.argv) > 2 else "tests"
passed = failed = skipped = 0
with open(log_path, encoding="utf-8") as log:
    for line in log:
        result = json.loads(line)["result"]
        if result in ("OK", "EXPECTEDFAIL"):
            passed += 1
        elif result == "SKIP":
            skipped += 1
        else:
            failed += 1
print(f"{label}: {passed} passed, {failed} failed, {skipped} skipped")
