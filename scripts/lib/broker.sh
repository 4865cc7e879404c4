# Sourced by the scripts that run the JavaScript tests. use_broker [PATH]:
# exports TERMINAL_STREAM_BROKER as the absolute path of a broker binary:
# PATH if given, else $TERMINAL_STREAM_BROKER, else the optimised build in
# build/release (relative to the project's root, the caller's directory).
use_broker() {
    local broker=${1:-${TERMINAL_STREAM_BROKER:-build/release/terminal-stream-broker}}
    if [[ ! -x $broker ]]; then
        echo "no broker binary at $broker: build it first, or pass its path" >&2
        exit 1
    fi
    TERMINAL_STREAM_BROKER=$(realpath "$broker")
    export TERMINAL_STREAM_BROKER
}
