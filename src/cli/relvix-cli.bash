# Bash completion for relvix-cli: commands, each command's own options (read from its
# --help, so they never fall behind), serial modes, UID formats and serial ports.
# Installed as share/bash-completion/completions/relvix-cli.

_relvix_cli()
{
    local cur prev
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD - 1]}
    local commands="ports identify scan card clear io set-do set-address reboot factory-reset raw read write selftest"
    # Options that take a value: the word after them is that value, never a command.
    local valued="--port --mode --tcp --address --timeout-ms --retries --from --to --modes --scan-timeout-ms
        --format --count --for --interval-ms --wait-timeout --expect --report --pattern --log"
    local modes="9600,e,8,1 19200,e,8,1 38400,e,8,1 57600,e,8,1 115200,e,8,1
        9600,n,8,1 19200,n,8,1 38400,n,8,1 57600,n,8,1 115200,n,8,1 9600,n,8,2 19200,n,8,2"

    case $prev in
    --port)
        local ports
        ports=$(compgen -G '/dev/ttyUSB*'; compgen -G '/dev/ttyACM*'; compgen -G '/dev/ttyS*';
            compgen -G '/dev/ttyAMA*'; compgen -G '/dev/serial/by-id/*')
        # The serial ports first; any path (a pseudo-terminal) when none of them fits.
        COMPREPLY=($(compgen -W "$ports" -- "$cur"))
        [[ ${#COMPREPLY[@]} -eq 0 ]] && COMPREPLY=($(compgen -f -- "$cur"))
        return
        ;;
    --mode | --modes)
        COMPREPLY=($(compgen -W "$modes" -- "$cur"))
        return
        ;;
    --format)
        COMPREPLY=($(compgen -W "8H10D 6H8D 8H 6H 5D,5D 3D,5D 16H 32H" -- "$cur"))
        return
        ;;
    --log | --report)
        COMPREPLY=($(compgen -f -- "$cur"))
        return
        ;;
    esac
    local word
    for word in $valued; do
        [[ $prev == "$word" ]] && return # a number or an address: nothing to offer
    done

    # The command is the first word that is not an option or an option's value.
    local i command="" skip=""
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if [[ -n $skip ]]; then
            skip=""
        elif [[ $word == -* ]]; then
            [[ " $valued " == *" $word "* ]] && skip=1
        else
            command=$word
            break
        fi
    done

    if [[ $cur == -* ]]; then
        local options
        options=$("${COMP_WORDS[0]}" $command --help 2>/dev/null | grep -oE -- '--[a-z][a-z-]*' | sort -u)
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
    elif [[ -z $command ]]; then
        COMPREPLY=($(compgen -W "$commands" -- "$cur"))
    fi
}
complete -F _relvix_cli relvix-cli
