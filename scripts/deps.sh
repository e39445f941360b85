# Installs the Debian packages the project needs, only those missing.
# Sourced by scripts/run and scripts/test.

kada_packages=(
  cmake g++ make pkg-config git
  libgtk-3-dev libwebkit2gtk-4.1-dev libsoup-3.0-dev libfontconfig-dev libx11-dev libxtst-dev
  libgtest-dev
  xvfb xauth openbox xdotool xclip x11-utils imagemagick
  fonts-arphic-uming fonts-arphic-ukai
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-libav
)

kada_install_deps() {
  local missing=()
  for p in "${kada_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
}
