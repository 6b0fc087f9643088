#!/bin/sh
# usage: check-module.sh <objdump> <module>
set -eu
objdump=$1
module=$2
dump=$("$objdump" -p "$module")
echo "$dump" | grep -Eq '^[[:space:]]*\[ *[0-9]+\] PluginMain$' || { echo "PluginMain is not exported undecorated"; exit 1; }
imports=$(echo "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
echo "imports: $(echo $imports)"
for dll in $imports; do
    case "$dll" in
    libstdc++*|libgcc*|libwinpthread*|*mingw*) echo "imports the MinGW runtime DLL $dll"; exit 1 ;;
    esac
done
