#!/usr/bin/env bash
# Checks Quillmar's packaging. Usage: check_packaging.sh metadata|command_line|open_file|deb SOURCE
# BUILD BINARY VERSION VENDOR_ID PRODUCT_ID [EMULATOR...] (the arm's ids in hex; the programs of a
# cross build run under EMULATOR). Every failed check prints one line; the exit status is the
# number of failures.
set -uo pipefail

mode=$1 source=$2 build=$3 binary=$4 version=$5 vendor=$6 product=$7
emulator=("${@:8}")
app_id=io.github.quillmar.Quillmar
mime_type=application/x-quillmar-program
rule_name=60-quillmar.rules
# The command that applies the rule without a re-login, as the program tells the user.
trigger_command="udevadm trigger --attr-match=idVendor=$vendor"

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
# expect_match TEXT PATTERN WHAT: TEXT holds the fixed string PATTERN.
expect_match() {
    grep -qF -- "$2" <<<"$1" || fail "$3: no \"$2\""
}

scratch=$(mktemp -d)
started=()
trap 'kill "${started[@]}" 2>/dev/null; rm -rf "$scratch"' EXIT

# The newest version in a Debian changelog.
changelog_version() {
    sed -n '1s/^[a-z0-9.+-]* (\([^)]*\)).*/\1/p' "$1"
}

check_metadata() {
    # Files that name the arm are made in the build folder from the ids given.
    local packaging=$source/packaging configured=$build/packaging
    desktop-file-validate "$packaging/$app_id.desktop" || fail "desktop-file-validate"
    appstreamcli validate --no-net "$configured/$app_id.metainfo.xml" ||
        fail "appstreamcli validate"

    local metainfo
    metainfo=$(<"$configured/$app_id.metainfo.xml")
    expect_match "$metainfo" "<modalias>usb:v${vendor}p${product}d*</modalias>" "metainfo"
    expect_match "$metainfo" "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" \
        "metainfo launchable"
    local newest_release
    newest_release=$(grep -m1 -o '<release version="[^"]*"' <<<"$metainfo" | cut -d'"' -f2)
    [[ "$newest_release" == "$version" ]] ||
        fail "metainfo's newest release is $newest_release, the project is $version"

    local changelog_newest
    changelog_newest=$(changelog_version "$packaging/doc/changelog")
    [[ "$changelog_newest" == "$version" ]] ||
        fail "changelog's newest entry is $changelog_newest, the project is $version"

    # .rob files are of our type, a kind of text, and the desktop entry and metainfo offer to
    # open that type with a file name in place of %f.
    mkdir -p "$scratch/mime/packages"
    cp "$packaging/mime/quillmar.xml" "$scratch/mime/packages/"
    update-mime-database "$scratch/mime" || fail "update-mime-database"
    expect_match "$(<"$scratch/mime/globs2")" ":$mime_type:*.rob" "MIME globs"
    expect_match "$(<"$scratch/mime/subclasses")" "$mime_type text/plain" "MIME sub-classes"
    local desktop
    desktop=$(<"$packaging/$app_id.desktop")
    grep -qx "MimeType=$mime_type;" <<<"$desktop" || fail "desktop entry: MimeType is not $mime_type"
    grep -qx "Exec=quillmar %f" <<<"$desktop" || fail "desktop entry: Exec does not pass the file"
    expect_match "$metainfo" "<mediatype>$mime_type</mediatype>" "metainfo"

    local warnings
    warnings=$(groff -man -ww -z "$configured/quillmar.1" 2>&1)
    [[ -z "$warnings" ]] || fail "man page: $warnings"

    # The rule must name the arm the program attaches to, grant the seat user only, and come
    # before the seat rules (73-seat-late.rules) that turn the uaccess tag into an ACL.
    local rule
    rule=$(grep -v '^#' "$configured/udev/$rule_name")
    expect_match "$rule" "ATTR{idVendor}==\"${vendor,,}\"" "udev rule"
    expect_match "$rule" "ATTR{idProduct}==\"${product,,}\"" "udev rule"
    expect_match "$rule" 'SUBSYSTEM=="usb"' "udev rule"
    expect_match "$rule" 'TAG+="uaccess"' "udev rule"
    grep -qE 'MODE="?0?[0-7]{2}[2367]' <<<"$rule" && fail "udev rule makes the node world-writable"
    ((10#${rule_name%%-*} < 73)) || fail "$rule_name sorts after the seat rules"

    # The program's "access denied" advice must name the installed rule and the postinst's command.
    local advice
    advice=$(tr -d '\n' <"$source/armlink/arm_link.cpp" | sed 's/"[[:space:]]*"//g')
    expect_match "$advice" "/usr/lib/udev/rules.d/$rule_name" "access denied text"
    expect_match "$advice" "build/packaging/udev/$rule_name" "access denied text"
    expect_match "$advice" "sudo udevadm control --reload && sudo ${trigger_command%$vendor}" \
        "access denied text"
    expect_match "$(<"$configured/deb/postinst")" "$trigger_command" "postinst"
}

check_command_line() {
    # The options that only print work where no display can be reached.
    local printing=(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "${emulator[@]}" "$binary")
    local help help_all version_text
    help=$("${printing[@]}" --help) || fail "--help exits $?"
    expect_match "$help" "Usage:" "--help"
    help_all=$("${printing[@]}" --help-all) || fail "--help-all exits $?"
    # Ours and Qt's.
    expect_match "$help_all" "--virtual-arm" "--help-all"
    expect_match "$help_all" "--platform" "--help-all"
    version_text=$("${printing[@]}" --version) || fail "--version exits $?"
    [[ "$version_text" == "quillmar $version" ]] || fail "--version prints \"$version_text\""

    # Every long option the program offers is documented in the man page.
    local page option
    page=$(groff -man -Tutf8 -P-cbou "$build/packaging/quillmar.1" 2>/dev/null)
    for option in $(grep -oE -- '--[a-z][a-z-]*' <<<"$help" | sort -u); do
        expect_match "$page" "$option" "man page"
    done
}

# The first visible window whose title is $1, waiting up to 20 s for it to appear. Each look is
# one search: xdotool gives up on its whole search when another window vanishes in the middle of
# it (BadWindow), so a failed look is simply tried again.
window_named() {
    local found tries
    for ((tries = 0; tries < 100; tries++)); do
        found=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -1)
        [[ -n "$found" ]] && { echo "$found"; return; }
        sleep 0.2
    done
}

# The left and right edges of window $1.
window_edges() {
    local X Y WIDTH HEIGHT SCREEN WINDOW
    eval "$(xdotool getwindowgeometry --shell "$1" 2>/dev/null)"
    echo "${X:-0} $((${X:-0} + ${WIDTH:-0}))"
}

# Waits up to 20 s until window $1 lies right of window $2, or, on a screen too narrow for both,
# window $2 has moved to the screen's right edge ($1 then covers its left side). The program moves
# the main window aside when it places the arm window, so a click aimed before that can miss.
placed_beside() {
    local tries left right width
    width=$(xdotool getdisplaygeometry 2>/dev/null | cut -d' ' -f1)
    for ((tries = 0; tries < 100; tries++)); do
        read -r left _ <<<"$(window_edges "$1")"
        read -r _ right <<<"$(window_edges "$2")"
        ((left >= right || right >= ${width:-0})) && return
        sleep 0.2
    done
    return 1
}

# Waits up to 20 s until window $1 has the keyboard: a dialog may show before it takes keys, and
# keys typed then are lost.
focus_on() {
    local tries
    for ((tries = 0; tries < 100; tries++)); do
        [[ "$(xdotool getwindowfocus 2>/dev/null)" == "$1" ]] && return
        sleep 0.2
    done
    return 1
}

# quillmar FILE, started elsewhere than beside FILE, loads FILE and remembers its name: Save File
# then offers that name, and saving writes back what was loaded with the line end that loading
# adds. Runs the built program on an X server of its own, clicked and typed at by xdotool.
check_open_file() {
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$scratch/display" 2>/dev/null &
    started+=($!)
    local tries
    for ((tries = 0; tries < 100; tries++)); do
        [[ -s "$scratch/display" ]] && break
        sleep 0.1
    done
    export DISPLAY=:$(<"$scratch/display")
    mkdir "$scratch/work"
    printf '1,100\r\n2,50' >"$scratch/work/wave.rob"
    (cd "$scratch/work" &&
        QT_QPA_PLATFORM=xcb exec "${emulator[@]}" "$binary" --virtual-arm wave.rob) &
    started+=($!)

    local window arm X Y WIDTH HEIGHT SCREEN WINDOW
    window=$(window_named Quillmar)
    [[ -n "$window" ]] || { fail "no window"; return; }
    arm=$(window_named "Virtual arm")
    [[ -n "$arm" ]] || { fail "no arm window"; return; }
    placed_beside "$arm" "$window" || { fail "arm window not beside the main window"; return; }
    eval "$(xdotool getwindowgeometry --shell "$window")"
    # The middle of "Save File" (twips 6120, 5760, 1335 by 495).
    xdotool mousemove --sync $((X + 452)) $((Y + 400)) click 1
    local dialog
    dialog=$(window_named "Select file for Quillmar")
    [[ -n "$dialog" ]] || { fail "no file dialog"; return; }
    focus_on "$dialog" || { fail "file dialog never takes the keyboard"; return; }
    xdotool key Return
    dialog=$(window_named "Confirm File Deletion")
    [[ -n "$dialog" ]] || { fail "not asked to replace"; return; }
    focus_on "$dialog" || { fail "question never takes the keyboard"; return; }
    xdotool key Return

    local expected=$scratch/expected
    printf '1,100\r\n2,50\r\n\r\n' >"$expected"
    for ((tries = 0; tries < 100; tries++)); do
        cmp -s "$expected" "$scratch/work/wave.rob" && return
        sleep 0.1
    done
    fail "wave.rob holds $(od -c "$scratch/work/wave.rob" | head -2 | tr -s ' ')"
}

# The Debian architecture of the ELF program $1, from the machine that `file` reads in it.
debian_architecture() {
    case $(file -b "$1") in
    *x86-64*) echo amd64 ;;
    *"ARM aarch64"*) echo arm64 ;;
    *) echo "unknown: $(file -b "$1")" ;;
    esac
}

check_deb() {
    # The package is for the machines the program was built for, the build machine's or not.
    local arch deb
    arch=$(debian_architecture "$binary")
    deb=$build/quillmar_${version}_${arch}.deb
    rm -f "$deb"
    if ! cpack --config "$build/CPackConfig.cmake" -B "$build" >"$scratch/cpack.log" 2>&1; then
        cat "$scratch/cpack.log"
        fail "cpack"
        return
    fi
    [[ -f "$deb" ]] || { fail "cpack made no $deb"; return; }

    local listing path
    listing=$(dpkg -c "$deb" | awk '{print $6}')
    local wanted=(
        ./usr/bin/quillmar
        ./usr/lib/udev/rules.d/$rule_name
        ./usr/share/applications/$app_id.desktop
        ./usr/share/metainfo/$app_id.metainfo.xml
        ./usr/share/icons/hicolor/32x32/apps/quillmar.png
        ./usr/share/icons/hicolor/48x48/apps/quillmar.png
        ./usr/share/icons/hicolor/scalable/apps/quillmar.svg
        ./usr/share/man/man1/quillmar.1.gz
        ./usr/share/mime/packages/quillmar.xml
        ./usr/share/bash-completion/completions/quillmar
        ./usr/share/doc/quillmar/copyright
        ./usr/share/doc/quillmar/changelog.gz
    )
    for path in "${wanted[@]}"; do
        grep -qxF "$path" <<<"$listing" || fail "package lacks $path"
    done

    local field expected
    for field in Package:quillmar "Version:$version" "Architecture:$arch"; do
        expected=${field#*:}
        [[ "$(dpkg-deb -f "$deb" "${field%%:*}")" == "$expected" ]] ||
            fail "${field%%:*} is not $expected"
    done
    local depends
    depends=$(dpkg-deb -f "$deb" Depends)
    expect_match "$depends" "libqt6widgets6" "Depends"
    expect_match "$depends" "libusb-1.0-0" "Depends"
    # Built with gamepads, the program needs SDL2's runtime.
    if readelf -d "$binary" | grep -qF libSDL2; then
        expect_match "$depends" "libsdl2-2.0-0" "Depends"
    fi

    # Unpacked into a root of its own, every file lands where the desktop and udev look.
    local root=$scratch/root
    dpkg -x "$deb" "$root" || fail "dpkg -x"
    cmp -s "$root/usr/lib/udev/rules.d/$rule_name" "$build/packaging/udev/$rule_name" ||
        fail "installed rule differs from the one made in the build folder"
    appstreamcli validate-tree --no-net "$root" >/dev/null || fail "appstreamcli validate-tree"
    gzip -dc "$root/usr/share/man/man1/quillmar.1.gz" | cmp -s - "$build/packaging/quillmar.1" ||
        fail "installed man page differs from the one made in the build folder"
    [[ "$(file -b "$root/usr/share/icons/hicolor/48x48/apps/quillmar.png")" == *"48 x 48"* ]] ||
        fail "48x48 icon has another size"
    [[ "$(file -b "$root/usr/share/icons/hicolor/32x32/apps/quillmar.png")" == *"32 x 32"* ]] ||
        fail "32x32 icon has another size"
    [[ "$(debian_architecture "$root/usr/bin/quillmar")" == "$arch" ]] ||
        fail "packaged binary is for $(debian_architecture "$root/usr/bin/quillmar")"
    # Each library the program needs is in the library folder of its architecture, and the
    # package that put it there is depended on.
    local multiarch library owner depended
    multiarch=$(dpkg-architecture -A "$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
    depended=$(sed -e 's/ *([^)]*)//g' -e 's/, */\n/g' <<<"$depends")
    for library in $(readelf -d "$root/usr/bin/quillmar" |
        sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
        owner=$(dpkg -S "/lib/$multiarch/$library" "/usr/lib/$multiarch/$library" 2>/dev/null |
            head -1 | cut -d: -f1)
        [[ -n $owner ]] || { fail "no $arch package has $library"; continue; }
        grep -qxF "$owner" <<<"$depended" || fail "Depends lacks $owner"
    done
    [[ "$("${emulator[@]}" "$root/usr/bin/quillmar" --version)" == "quillmar $version" ]] ||
        fail "packaged binary does not run"
    # The copyright file carries LICENSE's terms word for word.
    sed -n '/^License: Expat$/,$p' "$root/usr/share/doc/quillmar/copyright" |
        sed -e 1d -e 's/^ //' -e 's/^\.$//' >"$scratch/terms"
    sed -n '/^Permission/,$p' "$source/LICENSE" | cmp -s - "$scratch/terms" ||
        fail "copyright's licence differs from LICENSE"
    gzip -dc "$root/usr/share/doc/quillmar/changelog.gz" >"$scratch/changelog"
    [[ "$(changelog_version "$scratch/changelog")" == "$version" ]] || fail "packaged changelog"

    # Every example program is installed as it is in the source tree, CR LF line ends included.
    local example examples=0
    for example in "$source"/examples/*.rob; do
        examples=$((examples + 1))
        path=./usr/share/quillmar/examples/${example##*/}
        grep -qxF "$path" <<<"$listing" || { fail "package lacks $path"; continue; }
        cmp -s "$example" "$root/$path" || fail "$path differs from the source tree's"
    done
    ((examples > 0)) || fail "no example programs in $source/examples"

    # Debian's own checks, errors and warnings alike.
    lintian --fail-on error,warning "$deb" 2>/dev/null || fail "lintian"

    # The maintainer scripts never fail an install, with or without a running udev.
    local control=$scratch/control script
    dpkg-deb -e "$deb" "$control" || fail "dpkg-deb -e"
    mkdir -p "$scratch/bin"
    printf '#!/bin/sh\necho "udevadm $*" >>"%s"\n' "$scratch/udevadm.log" >"$scratch/bin/udevadm"
    chmod +x "$scratch/bin/udevadm"
    for script in postinst:configure postrm:remove; do
        [[ -x "$control/${script%%:*}" ]] || { fail "${script%%:*} is not executable"; continue; }
        PATH="$scratch/bin:$PATH" "$control/${script%%:*}" "${script#*:}" ||
            fail "${script%%:*} ${script#*:} exits $?"
    done
    if [[ -d /run/udev ]]; then
        expect_match "$(<"$scratch/udevadm.log")" "$trigger_command" "postinst"
    elif [[ -e "$scratch/udevadm.log" ]]; then
        fail "maintainer scripts call udevadm where udev is not running"
    fi
}

"check_$mode"
echo "$mode: $failures failure(s)"
exit "$failures"
