# Sourced by the scripts that need Debian packages:
#   ensure_packages pkg...   installs the ones that are missing (as root).
# A postfix installed for its load tools must not leave its mail daemon running.
ensure_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "Installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  if command -v postfix >/dev/null && postfix status >/dev/null 2>&1; then postfix stop >/dev/null 2>&1 || true; fi
}
