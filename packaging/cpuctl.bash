# bash completion for cpuctl.
# Subcommands, options and their values are read from cpuctl's own --help each time, so
# they follow the cpuctl that is installed. --port offers the ports `cpuctl ports` lists,
# simulated cards included; packages (*.cpu) and images (*.bin) come from the file system.

# The entries of one block of --help ("Subcommands:", "Options:", "Positionals:"), one a
# line: the name field ("-o,--output TEXT=RQ_CPU.cpu"), a tab, the description (its lines
# joined). cpuctl keeps at least two spaces between a name and its description.
# tools/man-page.sh reads help through this too.
_cpuctl_help_block() {
    local block=$1
    shift
    "$@" --help 2>/dev/null | awk -v block="$block:" '
        function flush() { if (have) print name "\t" text; have = 0 }
        /^[^ ].*:$/ { flush(); on = ($0 == block); next }
        !on { next }
        /^  [^ ]/ {
            flush(); have = 1
            name = substr($0, 3); text = ""
            if (match(name, /  +/)) { text = substr(name, RSTART + RLENGTH); name = substr(name, 1, RSTART - 1) }
            next
        }
        have && /^   *[^ ]/ { sub(/^ +/, ""); text = text (text == "" ? "" : " ") $0; next }
        { flush() }
        END { flush() }'
}

# The first word of each entry's name field, its flags split at the commas.
_cpuctl_names() {
    cut -f1 | awk '{ print $1 }' | tr ',' '\n'
}

# File names that match the glob, and every folder (marked and not ended by -o filenames).
_cpuctl_files() {
    local glob=$1 cur=$2 f
    compopt -o filenames 2>/dev/null
    while IFS= read -r f; do
        [[ -d $f || $f == $glob ]] && COMPREPLY+=("$f")
    done < <(compgen -f -- "$cur")
}

# Values help tells of: a choice in the name field ("TEXT:{auto,json,none}=auto"), else the
# default ("TEXT=115200") and a description that is a list ("none, silent, no-ack" or
# "9600, 28800, 57600; anything else means 115200").
_cpuctl_listed_values() {
    local name=$1 text=${2%%;*} item list="" default=""
    if [[ $name =~ :\{([^}]*)\} ]]; then
        printf '%s\n' "${BASH_REMATCH[1]//,/ }"
        return
    fi
    if [[ $text == *,* ]]; then
        local items
        IFS=',' read -ra items <<<"$text"
        for item in "${items[@]}"; do
            item=${item#"${item%%[! ]*}"}
            item=${item%"${item##*[! ]}"}
            [[ -z $item || $item == *" "* ]] && { list=""; break; }
            list+=" $item"
        done
    fi
    [[ $name == *=* ]] && default=${name##*=} && default=${default%% *}
    [[ " $list " == *" $default "* ]] || list="$default$list"
    printf '%s\n' "$list"
}

# Completes the value of an option or a positional from its help entry.
_cpuctl_value() {
    local prog=$1 name=$2 text=$3 cur=$4 about=${2,,}" "${3,,}
    case $about in
    --port*) mapfile -t COMPREPLY < <(compgen -W "$("$prog" ports 2>/dev/null | awk '{ print $1 }')" -- "$cur") ;;
    *package*) _cpuctl_files "*.cpu" "$cur" ;;
    *image*) _cpuctl_files "*.bin" "$cur" ;;
    *) mapfile -t COMPREPLY < <(compgen -W "$(_cpuctl_listed_values "$name" "$text")" -- "$cur") ;;
    esac
}

_cpuctl() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    local prog=${COMP_WORDS[0]/#\~/$HOME}
    COMPREPLY=()

    local sub="" i
    for ((i = 1; i < COMP_CWORD; i++)); do
        if [[ ${COMP_WORDS[i]} != -* ]]; then
            sub=${COMP_WORDS[i]}
            break
        fi
    done
    if [[ -z $sub ]]; then
        local block=Subcommands
        [[ $cur == -* ]] && block=Options
        mapfile -t COMPREPLY < <(compgen -W "$(_cpuctl_help_block $block "$prog" | _cpuctl_names)" -- "$cur")
        return
    fi

    local options name text
    options=$(_cpuctl_help_block Options "$prog" "$sub")
    # An option that takes a value has more than its flags in the name field ("--port TEXT").
    if [[ $prev == -* ]]; then
        while IFS=$'\t' read -r name text; do
            [[ $name == *" "* && ",${name%% *}," == *",$prev,"* ]] || continue
            _cpuctl_value "$prog" "$name" "$text" "$cur"
            return
        done <<<"$options"
    fi
    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$(_cpuctl_names <<<"$options")" -- "$cur")
        return
    fi
    # A positional: the first one help lists, for what it is; without one, the options.
    IFS=$'\t' read -r name text < <(_cpuctl_help_block Positionals "$prog" "$sub")
    if [[ -n $name ]]; then
        _cpuctl_value "$prog" "$name" "$text" "$cur"
    else
        mapfile -t COMPREPLY < <(compgen -W "$(_cpuctl_names <<<"$options")" -- "$cur")
    fi
}

complete -F _cpuctl cpuctl
