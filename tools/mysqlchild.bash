# bash completion for mysqlchild(1)
_mysqlchild()
{
    local cur prev
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD-1]}
    case $prev in
        --user|--pipe-user) COMPREPLY=($(compgen -u -- "$cur")); return ;;
        --env) COMPREPLY=($(compgen -W "inherit system base" -- "$cur")); return ;;
        --io-class) COMPREPLY=($(compgen -W "idle best-effort realtime" -- "$cur")); return ;;
        --limit) COMPREPLY=($(compgen -W "as= core= cpu= data= fsize= locks= memlock= msgqueue= nice= nofile= nproc= rss= rtprio= rttime= sigpending= stack=" -- "$cur")); compopt -o nospace 2>/dev/null; return ;;
        --input|--output) COMPREPLY=($(compgen -f -- "$cur")); return ;;
        --cgroup) COMPREPLY=($(compgen -d -- "$cur")); return ;;
        --checksum) COMPREPLY=($(compgen -W "sha256 sha512 blake2b512" -- "$cur")); return ;;
        --error-key|--timeout|--grace|--nice|--pipe-to|--expected-size|--rate-limit|--min-bytes) return ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "--user --env --input --output --pipe-to --pipe-user --error-key --wait-thread --timeout --grace --stats --progress --expected-size --rate-limit --checksum --min-bytes --dry-run --allow-unclosed-quote --keep-errors --nice --io-class --limit --no-new-privileges --cgroup --low-impact --help --version" -- "$cur"))
    fi
}
complete -F _mysqlchild mysqlchild
