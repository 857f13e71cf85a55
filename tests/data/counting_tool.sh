#!/bin/bash
r=$(dirname "$(dirname "$0")")
count() { until mkdir "$r/lock" 2>/dev/null; do sleep 0.01; done
  n=$(( $(cat "$r/$1" 2>/dev/null || echo 0) + $2 )); echo $n >"$r/$1"
  [ $1 = running ] && [ $n -gt $(cat "$r/most" 2>/dev/null || echo 0) ] && echo $n >"$r/most"
  rmdir "$r/lock"; }
count running 1; count started 1
for i in $(seq 1000); do [ $(cat "$r/started") -ge @WANTED@ ] && break; sleep 0.01; done
sleep 0.1; count running -1
exec -a "$0" "@SIMULATOR@" "$@"
