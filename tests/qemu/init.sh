#!/bin/busybox sh
# /init of the test VM: a static busybox, the static daemon and the static test driver, nothing else.
# Everything talks over the guest's own loopback; results go to the serial console as "@@ZQ" lines.
/bin/busybox mkdir -p /proc /sys /dev /tmp /usr/bin /usr/sbin /sbin
/bin/busybox --install -s
export PATH=/bin:/sbin:/usr/bin:/usr/sbin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev 2>/dev/null
echo
echo "@@ZQ INIT uptime_s=$(cut -d' ' -f1 /proc/uptime)"
ip link set lo up
# The daemon joins 224.0.1.1 without naming an interface: the kernel needs a route for the group.
ip route add 224.0.0.0/4 dev lo
# The early TSC clocksource is replaced a moment after boot; measure on the one that stays.
cs=/sys/devices/system/clocksource/clocksource0
i=0
while [ "$(cat $cs/current_clocksource)" = tsc-early ] && [ $i -lt 200 ]; do
    sleep 0.1
    i=$((i + 1))
done
echo
echo "@@ZQ CLOCKSOURCE name=$(cat $cs/current_clocksource) available=$(tr ' ' , <$cs/available_clocksource)" \
     "waited_s=$((i / 10))"
timeout 2300 /bin/zelkor-clock-driver /bin/zelkornt
rc=$?
echo
echo "@@ZQ KMSG text=$(dmesg | grep -o 'Clock: .*leap second.*' | tr '\n' ' ')"
echo
echo "@@ZQ EXIT rc=$rc uptime_s=$(cut -d' ' -f1 /proc/uptime)"
sync
poweroff -f
