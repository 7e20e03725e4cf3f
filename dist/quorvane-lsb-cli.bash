# Bash completion for quorvane-lsb-cli: commands, their options, and pictures or files.
_quorvane_lsb_cli()
{
    local cur prev command
    _init_completion || return

    if ((cword == 1)); then
        COMPREPLY=($(compgen -W 'hide reveal info help --help --version' -- "$cur"))
        return
    fi
    command=${words[1]}
    case $prev in
        -m | --message)
            return
            ;;
        -f | --file)
            _filedir
            return
            ;;
        -o | --output)
            [[ $command == hide ]] && _filedir '@(png|bmp)' || _filedir
            return
            ;;
    esac
    case $command in
        hide)
            if [[ $cur == -* ]]; then
                COMPREPLY=($(compgen -W '--message --file --output --force --help' -- "$cur"))
            else
                _filedir '@(png|bmp)'
            fi
            ;;
        reveal | info)
            if [[ $cur == -* ]]; then
                local options='--json --help'
                [[ $command == reveal ]] && options+=' --output'
                COMPREPLY=($(compgen -W "$options" -- "$cur"))
            else
                _filedir '@(png|bmp)'
            fi
            ;;
        help)
            ((cword == 2)) && COMPREPLY=($(compgen -W 'hide reveal info' -- "$cur"))
            ;;
    esac
} &&
    complete -F _quorvane_lsb_cli quorvane-lsb-cli
