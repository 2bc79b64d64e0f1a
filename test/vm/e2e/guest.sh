# Runs inside the VM: the suite against the binaries vm-run.sh placed in /opt.
tools=
[ -x /opt/tools/quorvane-exporter ] && tools="--tools /opt/tools"
exec python3 /opt/e2e/suite.py --quorvane /opt/quorvane $tools "$@"
