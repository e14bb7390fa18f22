# bash completion for jyx and jyx-sim                      -*- shell-script -*-
# Installed as share/bash-completion/completions/jyx and .../jyx-sim.
# The option lists below are checked against the programs' option tables by
# main/option_docs_test.cpp; add an option there and here together.

_jyx_console_opts="-a --ip -c --cmd -p --param -u --uart -l --list -2 --slave
  -O --old-jyx -G --usb-uart -Z --disable-uart -U --power-on -V --power-off
  -W --power-reset -H --power-wakeup -J --enter-fastboot -K --exit-fastboot
  -N --setio -M --getio -3 --postcode -X --switch-uart -s --string -i --image
  -Y --checkspi -r -0 --len -I --security-6M -A --security-8M -B --security-16M
  -w --write-spi-register -y --read-spi-register -z --unlock-spi -5 --retry
  -8 --loop -m --monitor -d --duration -o -9 --log -1 --logfilter -7 --update
  -S --enable-update-firmware -6 --reset -T --enable-jtag -Q --disable-jtag
  -R --enable-scan -C --main-firmware -D --slave-firmware -E --esp-offset
  -F --binary-width -v --version -h --help -x --exit-code -e --evb -4 --shown
  --power-report --changed-only --serve --no-server"
_jyx_fct_opts="-h --help -u --uart -f --file -l --list -a --all -c --case
  -p --list-port --sn --mac"
_jyx_gpt_opts="-h --help -f -s -b -r --dump --fix --swap -a -w -e --extract
  --create --image-file --image-name --image-type-uuid --image-uuid --update
  --edit --new- --expand- --extract- --name- --uuid-"
_jyx_flash_opts="-h --help -c --cmd -f --file -m --make-gpt -a --all -b --bootloader
  -n --nvme -d --dump -p --partition -o --oem -s --block-size --ip"
_jyx_frontends="--jyx --fct-tool --release-tool --flash-tool"

# Serial devices for -u: the tty paths that exist now.
_jyx_ttys() {
    local d
    for d in /dev/ttyUSB* /dev/ttyACM*; do
        [[ -e $d && $d == "$1"* ]] && COMPREPLY+=("$d")
    done
}

_jyx() {
    local cur prev
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD-1]}
    COMPREPLY=()

    local front=--jyx
    case ${COMP_WORDS[1]} in
        --fct-tool) front=fct ;;
        --release-tool) front=release ;;
        --flash-tool) front=flash ;;
    esac

    case $front in
    fct)
        case $prev in
            -u|--uart) _jyx_ttys "$cur"; return ;;
            -f|--file) compopt -o filenames 2>/dev/null
                       COMPREPLY=($(compgen -f -X '!*.json' -- "$cur") $(compgen -d -- "$cur"))
                       return ;;
            -c|--case|--sn|--mac) return ;;
        esac
        COMPREPLY=($(compgen -W "$_jyx_fct_opts" -- "$cur"))
        return ;;
    release)
        if ((COMP_CWORD == 2)); then
            COMPREPLY=($(compgen -W "--gpt" -- "$cur"))
            return
        fi
        case $prev in
            -f|--image-file) compopt -o filenames 2>/dev/null
                             COMPREPLY=($(compgen -f -- "$cur")); return ;;
            --extract|--extract-*) compopt -o filenames 2>/dev/null
                                   COMPREPLY=($(compgen -d -- "$cur")); return ;;
            -s) COMPREPLY=($(compgen -W "512 4096" -- "$cur")); return ;;
        esac
        if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W "$_jyx_gpt_opts" -- "$cur"))
            [[ ${COMPREPLY[*]} == *- ]] && compopt -o nospace 2>/dev/null
        fi
        return ;;
    flash)
        case $prev in
            -f|--file) compopt -o filenames 2>/dev/null
                       COMPREPLY=($(compgen -f -X '!*.json' -- "$cur") $(compgen -d -- "$cur"))
                       return ;;
            -d|--dump) compopt -o filenames 2>/dev/null
                       COMPREPLY=($(compgen -f -- "$cur")); return ;;
            -c|--cmd|-p|--partition|--ip) return ;;
        esac
        COMPREPLY=($(compgen -W "$_jyx_flash_opts" -- "$cur"))
        return ;;
    esac

    case $prev in
        -X|--switch-uart)
            # 0 UEFI, 1 SFH, 2 CSU_PM, 3 CSU_SE, 0xffffffff forwarding off.
            COMPREPLY=($(compgen -W "0 1 2 3 0xffffffff" -- "$cur")); return ;;
        -c|--cmd)
            COMPREPLY=($(compgen -W "00 01 02 03 04 05 19 20 21 22 23 24 25" -- "$cur")); return ;;
        -N|--setio)
            COMPREPLY=($(compgen -W "$(echo {64..79})" -- "$cur")); return ;;
        -M|--getio)
            COMPREPLY=($(compgen -W "$(echo {64..79}) 14 21 22 34 35" -- "$cur")); return ;;
        -m|--monitor)
            # A power configuration (YAML or JSON) or a 0x rail mask.
            compopt -o filenames 2>/dev/null
            COMPREPLY=($(compgen -f -X '!*.yaml' -- "$cur") $(compgen -f -X '!*.yml' -- "$cur")
                       $(compgen -f -X '!*.json' -- "$cur") $(compgen -d -- "$cur"))
            [[ -z $cur || 0x == "$cur"* ]] && COMPREPLY+=(0x)
            return ;;
        -u|--uart) _jyx_ttys "$cur"; return ;;
        -i|--image|-o|-C|--main-firmware|-D|--slave-firmware|--power-report)
            compopt -o filenames 2>/dev/null
            COMPREPLY=($(compgen -f -- "$cur")); return ;;
        -a|--ip|-p|--param|-s|--string|-d|--duration|-r|-0|--len|-w|--write-spi-register|\
        -5|--retry|-1|--logfilter|-E|--esp-offset|-F|--binary-width)
            return ;;
    esac

    if [[ $cur == -* ]]; then
        local words=$_jyx_console_opts
        ((COMP_CWORD == 1)) && words+=" $_jyx_frontends"
        COMPREPLY=($(compgen -W "$words" -- "$cur"))
    fi
}

_jyx_sim_opts="--bind --packet-port --log-port --ops-log --state --target-state
  --boot-ms --pm-heartbeat-ms --gpio --target-console --console-script
  --flash-size --flash-id --flash-image --sr1 --sr2 --sr3 --erase-us --read-us
  --program-us --power-rate --power-interval-ms --power-ics --shunt-mohm
  --drop --fail --corrupt --garbage --garbage-magic --delay --delay-all
  --close-after --reset-after --mute-after --random --seed --control
  --ftdi-socket --ftdi-serials --ftdi-wiring --mcu-eth-ip --mcu-wifi-ip
  --mcu-version --slave-version --esp-loader --usb-uart
  --fastboot-port --nvme-size --nvme-block --ddr --help"

_jyx_sim() {
    local cur prev
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD-1]}
    COMPREPLY=()
    case $prev in
        --ops-log|--flash-image|--console-script|--control|--target-console|--ftdi-socket|--usb-uart)
            compopt -o filenames 2>/dev/null
            COMPREPLY=($(compgen -f -- "$cur")); return ;;
        --state)
            compopt -o filenames 2>/dev/null
            COMPREPLY=($(compgen -d -- "$cur")); return ;;
        --target-state)
            COMPREPLY=($(compgen -W "off on running fastboot" -- "$cur")); return ;;
        --ftdi-wiring)
            COMPREPLY=($(compgen -W "new old" -- "$cur")); return ;;
        --esp-loader)
            COMPREPLY=($(compgen -W "normal silent" -- "$cur")); return ;;
        --bind)
            COMPREPLY=($(compgen -W "127.0.0.1" -- "$cur")); return ;;
    esac
    [[ $prev == --* && $prev != --help ]] && return
    COMPREPLY=($(compgen -W "$_jyx_sim_opts" -- "$cur"))
}

complete -F _jyx jyx
complete -F _jyx_sim jyx-sim
