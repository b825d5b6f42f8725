#!/bin/sh
# init of the User-mode Linux kernel that tst_program boots. Its root is
# this machine's own file system: it writes only to tmpfs mounts and to the
# build tree. Lays out cgroup v2 for the row CORVANE_UML_ROW as systemd would,
# runs the row (KV_TEST KV_FUNCTION) as root or as user 2000, prints the
# result and powers the kernel off.
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
cg=/sys/fs/cgroup
slice=$cg/user.slice/user-2000.slice

setUp() {
    mount -t proc proc /proc && mount -t sysfs sysfs /sys && mount -t cgroup2 cgroup2 $cg || return 1
    # Scratch space, homes and the machine-wide settings that a root run
    # writes; the build tree is mounted again where one of them covers it.
    for dir in /tmp /run /root /home /etc/xdg; do
        mount -t tmpfs tmpfs $dir || return 1
        case $KV_BUILD in $dir/*)
            mkdir -p "$KV_BUILD" && mount -t hostfs hostfs "$KV_BUILD" -o "$KV_BUILD" || return 1 ;;
        esac
    done
    case $CORVANE_UML_ROW in
        root*) uid=0 start=$cg/system.slice/tests.service ;;
        # A login session's scope, which logind keeps for itself.
        undelegated) uid=2000 start=$slice/session-1.scope ;;
        # user@.service: the subtree is the user's, its manager in init.scope.
        delegated*) uid=2000 start=$slice/user@2000.service/init.scope ;;
    esac
    mkdir -p $start && echo $$ > $start/cgroup.procs || return 1
    export HOME=/tmp/home XDG_RUNTIME_DIR=/run/user
    mkdir -m 700 $HOME $XDG_RUNTIME_DIR && chown $uid:$uid $HOME $XDG_RUNTIME_DIR || return 1
    [ $uid = 0 ] && return 0
    # cpu down to the user's services, as systemd 252 and later enable it.
    for dir in $cg $cg/user.slice $slice; do
        echo +cpu > $dir/cgroup.subtree_control || return 1
    done
    case $CORVANE_UML_ROW in delegated*) ;; *) return 0 ;; esac
    top=${start%/*}
    chown $uid:$uid $top $top/cgroup.procs $top/cgroup.subtree_control $top/cgroup.threads &&
        echo +cpu > $top/cgroup.subtree_control # as the user's manager does
}

# In the delegated subtree the test starts as the user's manager starts an
# app: in a scope of app.slice that the user makes.
runTest() {
    [ $uid = 0 ] && { "$KV_TEST" "$KV_FUNCTION"; return; }
    case $CORVANE_UML_ROW in delegated*) scope=$top/app.slice/tests.scope ;; esac
    setpriv --reuid=$uid --regid=$uid --clear-groups sh -c \
        '[ -z "$0" ] || { mkdir -p "$0" && echo $$ > "$0/cgroup.procs"; } && exec "$@"' \
        "$scope" "$KV_TEST" "$KV_FUNCTION"
}

setUp && runTest
echo "corvane-uml-result: $?"
echo o > /proc/sysrq-trigger
sleep 60
