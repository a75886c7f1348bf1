#!/usr/bin/env bash
# The shared library exports exactly the functions kiv.h declares, and those are the expected
# list: nothing of the C++ library inside leaks, and nothing declared is missing.
# Usage: symbols_check.sh LIBRARY HEADER EXPECTED_LIST
set -euo pipefail
library=$1 header=$2 expected=$3
exported=$(nm -D --defined-only "$library" | awk '{print $3}' | sed 's/@.*//' | sort)
declared=$(sed -n 's/^KIV_API kiv_status \(kiv_[a-z_]*\)(.*/\1/p' "$header" | sort)
status=0
if [[ $exported != "$(sort "$expected")" ]]; then
    echo "$library exports, against $expected:"
    diff <(sort "$expected") <(echo "$exported") || true
    status=1
fi
if [[ $declared != "$exported" ]]; then
    echo "$header declares, against what $library exports:"
    diff <(echo "$declared") <(echo "$exported") || true
    status=1
fi
soname=$(readelf -d "$library" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[[ $soname == libkiv.so.0 ]] || { echo "SONAME is '$soname'"; status=1; }
exit $status
