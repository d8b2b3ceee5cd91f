#!/usr/bin/env bash
# Checks an installation of the product as a user's machine would get it, without installing
# anything on this one:
#   check-installation.sh package DEB VERSION    the package's control data, modes and whole tree
#   check-installation.sh lintian DEB            lintian finds no error
#   check-installation.sh prefix BUILD_DIR       `cmake --install --prefix` into a temporary folder
set -euo pipefail

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
expect_equal() {  # what, actual, expected
  [ "$2" = "$3" ] || fail "$1: got '$2', expected '$3'"
}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# The installed tree under ROOT for the install prefix PREFIX (ROOT is where the files are; a
# package's root holds its /usr, a prefix install holds the prefix itself).
check_tree() {
  local root=$1 prefix=$2 etc=$3
  local files="$root$prefix"
  local app="$files/lib/proxyhost/ProxyHost.app/Contents"
  local tools="$files/libexec/proxyhost"

  for tool in networksetup base64 proxyhost-shell proxyhost-admin; do
    [ -f "$tools/$tool" ] && [ -x "$tools/$tool" ] || fail "$prefix/libexec/proxyhost/$tool is not an executable file"
  done
  for f in "$app/MacOS/proxyhost" "$app/MacOS/proxyhost-guard" "$files/bin/proxyhostctl"; do
    [ -f "$f" ] && [ -x "$f" ] || fail "${f#"$root"} is not an executable file"
  done
  [ -f "$app/Info.plist" ] || fail "the bundle has no Info.plist"
  if find "$files" -perm /6000 | grep -q .; then fail "setuid or setgid files: $(find "$files" -perm /6000)"; fi

  # The host finds its tools through Contents/Helpers, and it is started through /usr/bin/proxyhost:
  # both links must hold inside the root, wherever the root is.
  [ -L "$app/Helpers" ] && [[ "$(readlink "$app/Helpers")" != /* ]] || fail "Contents/Helpers is not a relative link"
  expect_equal "Contents/Helpers resolves to" "$(readlink -f "$app/Helpers")" "$(readlink -f "$tools")"
  [ -L "$files/bin/proxyhost" ] && [[ "$(readlink "$files/bin/proxyhost")" != /* ]] || fail "bin/proxyhost is not a relative link"
  expect_equal "bin/proxyhost resolves to" "$(readlink -f "$files/bin/proxyhost")" "$(readlink -f "$app/MacOS/proxyhost")"

  # The installed binaries run (their libraries are there, stripping left them whole): the macOS base64.
  expect_equal "the installed base64 -D" "$(printf 'cHJveHk=' | "$tools/base64" -D)" "proxy"

  # The polkit action: valid, naming the helper where it is installed and the application by the
  # bundle's CFBundleName, with the defaults docs/macos-tools.md gives.
  local policy="$files/share/polkit-1/actions/net.proxyhost.client.policy"
  xmllint --noout --dtdvalid /usr/share/polkit-1/policyconfig-1.dtd "$policy" || fail "the polkit action is not valid"
  local action='/policyconfig/action[@id="net.proxyhost.client.change-proxy"]'
  local helper
  helper=$(xmllint --xpath "string($action/annotate[@key=\"org.freedesktop.policykit.exec.path\"])" "$policy")
  expect_equal "the action's exec.path" "$helper" "$prefix/libexec/proxyhost/proxyhost-admin"
  [ -x "$root$helper" ] || fail "the action's exec.path $helper is not installed"
  local name
  name=$(xmllint --xpath 'string(/plist/dict/key[.="CFBundleName"]/following-sibling::string[1])' "$app/Info.plist")
  expect_equal "CFBundleName" "$name" "ProxyHost"
  expect_equal "the prompt" "$(xmllint --xpath "string($action/message)" "$policy")" \
    "$name wants to change the network proxy settings."
  expect_equal "the defaults" \
    "$(xmllint --xpath "concat($action/defaults/allow_any,' ',$action/defaults/allow_inactive,' ',$action/defaults/allow_active)" "$policy")" \
    "auth_admin auth_admin auth_admin_keep"

  # The application menu's entry and its icon.
  local entry="$files/share/applications/net.proxyhost.client.desktop"
  desktop-file-validate "$entry" || fail "the desktop entry does not validate"
  grep -qx 'Exec=proxyhost' "$entry" || fail "the desktop entry does not start proxyhost"
  grep -qx 'Icon=net.proxyhost.client' "$entry" || fail "the desktop entry names another icon"
  grep -q '^NoDisplay=true' "$entry" && fail "the desktop entry is hidden from the menu"
  xmllint --noout "$files/share/icons/hicolor/scalable/apps/net.proxyhost.client.svg" || fail "the icon is not well-formed"

  # The log-in entry: one converging networksetup run, never shown in a menu.
  local repair="$root$etc/xdg/autostart/net.proxyhost.client.repair-desktop.desktop"
  desktop-file-validate "$repair" || fail "the log-in entry does not validate"
  grep -qx "Exec=$prefix/libexec/proxyhost/networksetup -repairdesktop" "$repair" || fail "the log-in entry runs $(grep ^Exec= "$repair")"
  grep -qx 'NoDisplay=true' "$repair" || fail "the log-in entry shows in menus"

  [ -s "$files/share/doc/proxyhost/copyright" ] || fail "no copyright file"
  for gz in doc/proxyhost/changelog.gz man/man1/proxyhost.1.gz man/man1/proxyhostctl.1.gz; do
    gzip -t "$files/share/$gz" || fail "no readable share/$gz"
  done
}

check_package() {
  local deb=$1 version=$2
  local arch
  arch=$(dpkg --print-architecture)
  expect_equal "the package's file name" "$(basename "$deb")" "proxyhost_${version}_${arch}.deb"
  expect_equal "Package" "$(dpkg-deb -f "$deb" Package)" "proxyhost"
  expect_equal "Version" "$(dpkg-deb -f "$deb" Version)" "$version"
  expect_equal "Architecture" "$(dpkg-deb -f "$deb" Architecture)" "$arch"
  # Libraries found by dpkg-shlibdeps in the binaries, and the runtime the product calls.
  local depends
  depends=$(dpkg-deb -f "$deb" Depends)
  for p in libc6 libstdc++6 libglib2.0-0 libplist3 libsystemd0 pkexec polkitd; do
    [[ ", $depends" == *", $p "* || ", $depends," == *", $p,"* ]] || fail "Depends lacks $p: $depends"
  done
  [[ "$(dpkg-deb -f "$deb" Recommends)" == *gsettings-desktop-schemas* ]] || fail "Recommends lacks gsettings-desktop-schemas"

  # Modes and owners as dpkg will install them (the tree below checks the rest).
  local listing
  listing=$(dpkg-deb -c "$deb")
  grep -qE '^-rwxr-xr-x root/root .* \./usr/libexec/proxyhost/proxyhost-admin$' <<<"$listing" \
    || fail "the helper is not 0755 root:root: $(grep proxyhost-admin <<<"$listing")"
  grep -vE '^[-dl][rwx-]{9} root/root ' <<<"$listing" | grep -q . && fail "entries with other modes or owners:
$(grep -vE '^[-dl][rwx-]{9} root/root ' <<<"$listing")"
  grep -qE ' \./usr/lib/proxyhost/ProxyHost\.app/Contents/Helpers -> \.\./\.\./\.\./\.\./libexec/proxyhost$' <<<"$listing" \
    || fail "Contents/Helpers: $(grep Helpers <<<"$listing")"

  dpkg-deb -x "$deb" "$scratch/root"
  check_tree "$scratch/root" /usr /etc
  # Nothing outside /usr but the log-in entry, a conffile: a package that leaves files elsewhere
  # changes more than the product.
  expect_equal "top folders" "$(ls "$scratch/root" | tr '\n' ' ')" "etc usr "
  expect_equal "files in /etc" "$(cd "$scratch/root" && find etc -type f)" "etc/xdg/autostart/net.proxyhost.client.repair-desktop.desktop"
  mkdir "$scratch/control"
  dpkg-deb -e "$deb" "$scratch/control"
  expect_equal "conffiles" "$(cat "$scratch/control/conffiles")" "/etc/xdg/autostart/net.proxyhost.client.repair-desktop.desktop"
}

case "${1:-}" in
  package) check_package "$2" "$3" ;;
  lintian)
    # Errors fail; the warnings and notes are printed for whoever reads the log.
    lintian --fail-on error --display-info "$2" || fail "lintian reports errors"
    ;;
  prefix)
    cmake --install "$2" --prefix "$scratch/prefix" >/dev/null
    check_tree "" "$scratch/prefix" "$scratch/prefix/etc"
    ;;
  *)
    echo "usage: $0 package DEB VERSION | lintian DEB | prefix BUILD_DIR" >&2
    exit 2
    ;;
esac
[ "$failures" -eq 0 ]
