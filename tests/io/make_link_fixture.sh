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
