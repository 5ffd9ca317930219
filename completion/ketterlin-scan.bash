# bash completion for ketterlin-scan: the options, files for the options that name a file, and
# folders for PATH, ROOT and TARGET (and for every word after "--"). Uses bash-completion's
# _init_completion and _filedir. Keep the option list in step with ketterlin-scan --help (the
# completion test compares them).

_ketterlin_scan() {
    local cur prev words cword split
    _init_completion -s || return

    case $prev in
        -d | --depth | --top)
            return # a number
            ;;
        --json | --ncdu | --html | --load | --helper)
            _filedir
            return
            ;;
    esac
    # A value joined to an option that takes none ("--quiet=..."): nothing to offer.
    $split && return

    local i
    for ((i = 1; i < cword; i++)); do
        if [[ ${words[i]} == -- ]]; then
            _filedir -d
            return
        fi
    done

    if [[ $cur == -* ]]; then
        local options='-d --depth --top --apparent --top-up --json --ncdu --html --browse
            --load --allow-delete -q --quiet --no-color --elevate --helper -h --help -V
            --version --'
        mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
        return
    fi
    _filedir -d
} &&
    complete -F _ketterlin_scan ketterlin-scan
