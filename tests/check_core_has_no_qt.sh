#!/bin/sh
# Fails when a core folder includes a Qt header.
top=${1:-.}
hits=$(grep -rnE '#\s*include\s*[<"]Q[A-Za-z]' \
    "$top/src/platform" "$top/src/threads" "$top/src/engine" "$top/src/config" \
    "$top/src/alerts" "$top/src/mail" 2>/dev/null)
if [ -n "$hits" ]; then
    echo "core code includes Qt:"
    echo "$hits"
    exit 1
fi
echo "core folders are free of Qt"
