# Part of demo.sh: the driver tool, both builds.
for arch in x86 x64; do
  echo
  echo "== dist/$arch/Tallow.exe /qu"
  set +e
  wine "dist/$arch/Tallow.exe" /qu
  echo "(exit code $?)"
  set -e
done
