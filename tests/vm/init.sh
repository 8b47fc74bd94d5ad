#!/bin/sh
# /init of the test VM: mount what the tests read, run them, report on the
# console, power off. run_vm.py reads the ZELMAR-VM lines.
mount -t devtmpfs devtmpfs /dev
mount -t proc proc /proc
mount -t sysfs sysfs /sys
for word in $(cat /proc/cmdline); do
    case $word in
    zelmar.filter=*) export GTEST_FILTER="${word#zelmar.filter=}" ;;
    esac
done
echo "ZELMAR-VM-START"
/comport_vm_tests --gtest_color=no
echo "ZELMAR-VM-RESULT $?"
poweroff -f
