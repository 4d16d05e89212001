# bash completion for imbrix-cli                            -*- shell-script -*-
#
# Everything offered comes from the `--help` of the imbrix-cli being completed,
# so a new option or format is completed as soon as the program knows it:
#   - an option's value by its name in the help: the formats after -f/--format,
#     folders for DIR, files and folders for FILE or PATH, nothing for others;
#   - the options after "-";
#   - files and folders otherwise, and everything after "--".

# Prints the help of the program named by $1 (as typed: a path, or a name on $PATH).
_imbrix_cli_help() {
    local program=$1
    [[ $program == ~* ]] && program=${program/#\~/$HOME}
    LC_ALL=C "$program" --help 2>/dev/null
}

# Every option of the help, one a line: "-f", "--format", ...
_imbrix_cli_options() {
    printf '%s\n' "$1" |
        sed -nE 's/^ +(-([A-Za-z0-9]), )?(--[a-z0-9][a-z0-9-]*).*/-\2 \3/p' |
        tr ' ' '\n' | grep -v '^-$'
}

# The name of the value an option takes in the help ("NAME" for --format,
# nothing for a flag).
_imbrix_cli_value_name() {
    local long value short
    printf '%s\n' "$1" |
        sed -nE 's/^ +(-([A-Za-z0-9]), )?(--[a-z0-9][a-z0-9-]*) ([A-Z][A-Z0-9_]*)( .*)?$/\3 \4 -\2/p' |
        while read -r long value short; do
            if [[ $2 == "$long" || ($short != - && $2 == "$short") ]]; then
                printf '%s\n' "$value"
                break
            fi
        done
}

# The output formats: the upper-case names that end the help's --format entry.
_imbrix_cli_formats() {
    printf '%s\n' "$1" | awk '
        /^ +-/ { inside = ($0 ~ /--format /) }
        /^[^ ]/ { inside = 0 }
        inside { text = text " " $0 }
        END {
            sub(/.*: */, "", text)
            n = split(text, words, /[ \t]+/)
            for (i = 1; i <= n; ++i)
                if (words[i] ~ /^[A-Z][A-Z0-9]+$/)
                    print words[i]
        }'
}

_imbrix_cli() {
    local cur prev words cword split
    _init_completion -s || return

    local i
    for ((i = 1; i < cword; ++i)); do
        if [[ ${words[i]} == -- ]]; then
            _filedir
            return
        fi
    done

    local program=${words[0]}
    if [[ $prev == -* && $prev != -- ]]; then
        local help value
        help=$(_imbrix_cli_help "$program")
        value=$(_imbrix_cli_value_name "$help" "$prev")
        case $value in
            "")
                ;;
            NAME)
                local formats
                formats=$(_imbrix_cli_formats "$help")
                # The program takes any letter case: offer the case being typed.
                [[ $cur == *[a-z]* ]] && formats=${formats,,}
                mapfile -t COMPREPLY < <(compgen -W "$formats" -- "$cur")
                return
                ;;
            DIR)
                _filedir -d
                return
                ;;
            FILE | PATH)
                _filedir
                return
                ;;
            *)
                # A number, a size, a ratio: nothing to offer.
                return
                ;;
        esac
    fi
    $split && return

    if [[ $cur == -* ]]; then
        local help
        help=$(_imbrix_cli_help "$program")
        mapfile -t COMPREPLY < <(compgen -W "$(_imbrix_cli_options "$help")" -- "$cur")
        return
    fi
    _filedir
} &&
    complete -F _imbrix_cli imbrix-cli

# ex: filetype=sh
