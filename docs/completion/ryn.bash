# bash completion for ryn, zentor and memvex: mode words, the options each
# mode accepts, their values, and files for targets. Installed once per
# command name, so that bash-completion finds it for each of them.

# Candidates, one a line, kept from word splitting and from globbing ("-?").
_ryn_reply() {
    mapfile -t COMPREPLY < <(compgen "$@")
}

_ryn_mode_options() {
    local common="-n -v -z -V -l -L -Yo, -Ye, -Wo, -vv -keeptmp -zentor"
    local not_check="-o -s -I -R"
    local not_check_optimize="-D -S -U -M -r"
    local not_check_instrument="-i -u"
    local instrumenting="-m -K -k -N -t -Wi,"
    local analysing="-a -e -E -Wa, -d -C -g -A"
    case $1 in
    instrument)
        printf "%s\n" "$common $not_check $not_check_optimize -X $instrumenting -g" ;;
    collect)
        printf "%s\n" "$common $not_check $not_check_optimize $not_check_instrument -X" \
             "$instrumenting -c -O $analysing" ;;
    analyze)
        printf "%s\n" "$common $not_check $not_check_optimize $not_check_instrument -X $analysing" ;;
    coverage)
        printf "%s\n" "$common $not_check $not_check_optimize $not_check_instrument -X $analysing -F" ;;
    optimize)
        printf "%s\n" "$common $not_check $not_check_instrument -O1 -O2 -O3 -f -Qy -Qn -xinline" ;;
    check)
        printf "%s\n" "$common -X" ;;
    esac
}

# Whether option $2 takes the next word as its value in mode $1.
_ryn_takes_value() {
    case $2 in
    -i|-D|-U|-s|-o|-I|-l|-L|-N|-m|-a|-E|-F|-d|-C|-A) return 0 ;;
    -O) [ "$1" = collect ] ;;
    -g) [ "$1" != instrument ] && [ "$1" != optimize ] && [ "$1" != check ] ;;
    *) return 1 ;;
    esac
}

_ryn_complete() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=${COMP_WORDS[COMP_CWORD-1]}
    COMPREPLY=()
    if [ "$COMP_CWORD" -eq 1 ]; then
        _ryn_reply -W "instrument collect analyze coverage optimize check -h -? --help -V" \
                     -- "$cur"
        return
    fi
    local mode=${COMP_WORDS[1]} i
    # Past the target every word belongs to the target: complete files.
    for ((i = 2; i < COMP_CWORD; i++)); do
        local word=${COMP_WORDS[i]}
        if [[ $word == -* ]]; then
            _ryn_takes_value "$mode" "$word" && ((i++))
        else
            _ryn_reply -f -- "$cur"
            return
        fi
    done
    if _ryn_takes_value "$mode" "$prev"; then
        case $prev in
        -i) _ryn_reply -W "static on off" -- "$cur" ;;
        -m) _ryn_reply -W "on off" -- "$cur" ;;
        -a) _ryn_reply -W "bbc branch ifreq cc function dis" -- "$cur" ;;
        -D|-I|-d) _ryn_reply -d -- "$cur" ;;
        -U|-s|-E|-C|-A|-g) ;;
        *) _ryn_reply -f -- "$cur" ;;
        esac
        return
    fi
    if [[ $cur == -* ]]; then
        _ryn_reply -W "$(_ryn_mode_options "$mode")" -- "$cur"
        return
    fi
    _ryn_reply -f -- "$cur"
}

_memvex_complete() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=${COMP_WORDS[COMP_CWORD-1]}
    local valued="-D -H -N -o -w -S -b -E -e -i -F -c"
    local i
    COMPREPLY=()
    # The one operand ends the command line.
    for ((i = 1; i < COMP_CWORD; i++)); do
        local word=${COMP_WORDS[i]}
        if [[ " $valued " == *" $word "* ]]; then
            ((i++))
        elif [[ $word != -* ]]; then
            return
        fi
    done
    case $prev in
    -i) _ryn_reply -W "datarace dataraces memcheck" -- "$cur"; return ;;
    -F) _ryn_reply -W "parent child both" -- "$cur"; return ;;
    -b) _ryn_reply -W "overflow-write overflow-access double-free invalid-free
                     interior-free mismatched-free write-after-free access-after-free leak" \
                     -- "$cur"; return ;;
    -c) _ryn_reply -f -W "-" -- "$cur"; return ;;
    -D) _ryn_reply -d -- "$cur"; return ;;
    -S|-E|-e) return ;;
    -H|-N|-o|-w) _ryn_reply -f -- "$cur"; return ;;
    esac
    if [[ $cur == -* ]]; then
        _ryn_reply -W "-a -D -H -K -L -N -T -t -V -h -? -k -l -n -o -s -v -w -S -b -E -e
                                 -m -f -i -F -c -Wi, -Wo, -Wd,-c -Wd,-u -Wd,-z -Wd,-B -Wd,-P
                                 -Wd,-a= -Yo," -- "$cur"
        return
    fi
    _ryn_reply -f -- "$cur"
}

complete -F _ryn_complete ryn zentor
complete -F _memvex_complete memvex
