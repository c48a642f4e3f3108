# Sourced by the build and test scripts (bash): the steps several of them share.

# configure_build DIR OPTION...: sets DIR up with these options, or sets them on a DIR set up
# before (meson configure, not setup --reconfigure: Meson 1.0 keeps old compiler arguments on
# the latter). Options that only setup takes (a cross file) go in the array setup_only.
configure_build() {
    local dir=$1
    shift
    if [[ -f $dir/build.ninja ]]; then
        meson configure "$dir" "$@" >/dev/null
    else
        meson setup "$dir" ${setup_only[@]+"${setup_only[@]}"} "$@" >/dev/null
    fi
}

# The instrumented builds. A module loaded into an interpreter that is not instrumented cannot
# have undefined sanitizer symbols resolved at link time (b_lundef), only at load time.
asan_ubsan_args=(-Db_sanitize=address,undefined -Db_lundef=false
                 "-Dcpp_args=-fno-sanitize-recover=all -fno-omit-frame-pointer")
tsan_args=(-Db_sanitize=thread -Db_lundef=false)

# simulator_env PRELOAD SIMULATOR DIR [qemu]: sets the array sim_env to what an interpreter
# needs to reach the simulated torso. The preload libraries PRELOAD (the CAN one last) carry
# the module's calls on interface can0 to a socket in DIR, and the tests start SIMULATOR.
# With "qemu", the libraries are preloaded into the emulated interpreter only.
simulator_env() {
    local preload="LD_PRELOAD=$1"
    [[ ${4:-} == qemu ]] && preload="QEMU_SET_ENV=$preload"
    sim_env=("$preload" "KESTRO_CAN_PRELOAD=can0=$3/neck.sock" "KESTRO_TORSO_SIM=$2")
}

# The part of the Python suite that runs on the board's interpreter under qemu-arm, which
# cannot start itself as a child process: the two tests that do so are left out.
armhf_python_tests=(
    tests/python/test_module.py tests/python/test_arguments.py tests/python/test_values.py
    tests/python/test_controller.py::test_positions
    tests/python/test_control_loop.py::test_commands_reach_the_torso
    --deselect tests/python/test_module.py::test_sub_interpreter_cannot_import
    --deselect tests/python/test_module.py::test_internal_fault_raises_panic_exception
)
