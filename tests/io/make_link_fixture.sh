#!/bin/sh
# Makes the folders of the link suite on the host, for Windows tests under Wine: Wine shows links
# made on the host but cannot make them itself. $1: the fixture folder (made anew).
set -eu
root=$1
rm -rf "$root"
mkdir -p "$root/owned/real" "$root/outside/empty"
printf precious > "$root/outside/victim.txt"
printf a > "$root/owned/real/a.txt"
ln -s ../outside "$root/owned/linkdir"
ln -s ../outside/empty "$root/owned/linkempty"
ln -s ../outside/victim.txt "$root/owned/linkfile"
# Folder deletion's swap race: the host swaps the folder swap-dest/sub for a link to swap-outside
# and back while a Windows test deletes swap-dest (Wine makes no links, and moving a link made
# on the host moves what it leads to). It swaps while swap-go exists, counts its swaps in
# swap-count, and ends with swap-stop, or after two minutes.
mkdir -p "$root/swap-outside"
for i in $(seq 0 19); do printf precious > "$root/swap-outside/victim$i.txt"; done
cd "$root"
setsid sh -c '
  end=$(( $(date +%s) + 120 ))
  while [ ! -e swap-stop ] && [ "$(date +%s)" -lt "$end" ]; do
    if [ -e swap-go ] && mv swap-dest/sub swap-dest/sub.parked 2>/dev/null; then
      if ln -s ../swap-outside swap-dest/sub 2>/dev/null; then
        echo swap >> swap-count
        rm -f swap-dest/sub
      fi
      mv swap-dest/sub.parked swap-dest/sub 2>/dev/null
    else
      sleep 0.002
    fi
  done
' >/dev/null 2>&1 </dev/null &
