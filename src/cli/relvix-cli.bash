# Bash completion for relvix-cli: commands, the options of each (as its --help lists them; a
# test holds the lists here to the program's), serial modes, UID formats, serial ports and
# file names. Installed as share/bash-completion/completions/relvix-cli.
#
# Nothing here is ever evaluated: a port or file name such as "ttyUSB$(reboot)" or one with
# blanks or a '*' is offered as it is, whole, and readline quotes it (compopt -o filenames).
# compgen -W, which expands its word list, is not used for that reason.

# Where the serial ports are looked for; a test points it at a folder of its own.
: "${_relvix_cli_dev:=/dev}"

_relvix_cli_commands="ports identify scan card clear io set-do set-address reboot factory-reset read write raw selftest"
# The options that stand before a command, as relvix-cli --help lists them.
_relvix_cli_global="-h --help --version --json --log --log-max-mb --port --mode --tcp --address --timeout-ms --echo --verbose"
# Options that take a value: the word after them is that value, never a command.
_relvix_cli_valued="--address --count --echo --expect --for --format --from --interval-ms --log --log-max-mb --mode --modes --pattern
    --port --report --retries --scan-timeout-ms --tcp --timeout-ms --to --wait-timeout"

# A command's options, as COMMAND --help lists them.
_relvix_cli_options()
{
    local link="--port --mode --tcp --address --timeout-ms --echo" common="--json --log --log-max-mb --verbose -h --help"
    case $1 in
    ports) echo "$common" ;;
    identify) echo "--retries $common $link" ;;
    scan) echo "--from --to --modes --scan-timeout-ms $common $link" ;;
    card) echo "--format --lsb --all-formats --key-hex --watch --reconnect --count --for --clear --interval-ms $common $link" ;;
    clear | io | read) echo "$common $link" ;;
    set-do | write) echo "--yes $common $link" ;;
    set-address) echo "--yes --force --retries $common $link" ;;
    reboot | factory-reset) echo "--yes --wait --wait-timeout $common $link" ;;
    raw) echo "--expect $common $link" ;;
    selftest) echo "--report --outputs --pattern --retries $common $link" ;;
    esac
}

# COMPREPLY := those of the candidates (one each argument) that begin with the current word.
_relvix_cli_reply()
{
    local cur=$1 candidate
    shift
    COMPREPLY=()
    for candidate in "$@"; do
        [[ $candidate == "$cur"* ]] && COMPREPLY+=("$candidate")
    done
}

# COMPREPLY := the file names that begin with the current word, each whole.
_relvix_cli_files()
{
    compopt -o filenames 2>/dev/null
    mapfile -t COMPREPLY < <(compgen -f -- "$1")
}

_relvix_cli()
{
    local cur prev word
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD - 1]}

    case $prev in
    --port)
        local ports=() pattern
        for pattern in ttyUSB'*' ttyACM'*' ttyS'*' ttyAMA'*' serial/by-id/'*'; do
            mapfile -t -O "${#ports[@]}" ports < <(compgen -G "$_relvix_cli_dev/$pattern")
        done
        # The serial ports first; any path (a pseudo-terminal) when none of them fits.
        compopt -o filenames 2>/dev/null
        _relvix_cli_reply "$cur" "${ports[@]}"
        [[ ${#COMPREPLY[@]} -eq 0 ]] && _relvix_cli_files "$cur"
        return
        ;;
    --mode | --modes)
        _relvix_cli_reply "$cur" 9600,e,8,1 19200,e,8,1 38400,e,8,1 57600,e,8,1 115200,e,8,1 \
            9600,n,8,1 19200,n,8,1 38400,n,8,1 57600,n,8,1 115200,n,8,1 9600,n,8,2 19200,n,8,2
        return
        ;;
    --echo)
        _relvix_cli_reply "$cur" auto on off
        return
        ;;
    --format)
        _relvix_cli_reply "$cur" 8H10D 6H8D 8H 6H 5D,5D 3D,5D 16H 32H
        return
        ;;
    --log | --report)
        _relvix_cli_files "$cur"
        return
        ;;
    esac
    for word in $_relvix_cli_valued; do
        [[ $prev == "$word" ]] && { COMPREPLY=(); return; } # a number or an address: nothing to offer
    done

    # The command is the first word that is not an option or an option's value.
    local i command="" skip=""
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if [[ -n $skip ]]; then
            skip=""
        elif [[ $word == -* ]]; then
            [[ " ${_relvix_cli_valued//$'\n'/ } " == *" $word "* ]] && skip=1
        else
            command=$word
            break
        fi
    done

    local candidates
    if [[ $cur == -* && -z $command ]]; then
        read -ra candidates <<<"$_relvix_cli_global"
    elif [[ $cur == -* ]]; then
        read -ra candidates <<<"$(_relvix_cli_options "$command")"
    elif [[ -z $command ]]; then
        read -ra candidates <<<"$_relvix_cli_commands"
    else
        candidates=()
    fi
    _relvix_cli_reply "$cur" "${candidates[@]}"
}
complete -F _relvix_cli relvix-cli
