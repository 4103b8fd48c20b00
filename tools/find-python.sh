#!/usr/bin/env bash
# Locate the Python interpreters that `make test` and `make bench` run against.
#
#   tools/find-python.sh ft        free-threaded CPython >= 3.13 (built and cached if needed)
#   tools/find-python.sh ft-tsan   free-threaded CPython built with ThreadSanitizer (always built here
#                                  and cached; `make test-tsan` runs against it)
#   tools/find-python.sh gil       standard CPython 3.13 with the GIL, if the machine has one
#
# The absolute path of the interpreter is the only thing ever written to
# stdout; every progress or diagnostic line goes to stderr.  `gil` exits 1 with
# empty stdout when no suitable interpreter exists; it never builds one.
#
# When no free-threaded interpreter is installed, `ft` builds one from the
# newest CPython 3.13 source that Debian publishes in the suites of
# SOURCE_SUITES (testing, then the trixie release as the fallback when the
# newer source cannot be fetched).  The sources are fetched with apt-get
# pointed at a throw-away sources.list and lists directory, so the machine's own
# apt configuration is never modified; the mirror and keyring are taken from the
# machine's existing apt sources.
#
# Builds are cached by upstream version in
# ${XDG_CACHE_HOME:-$HOME/.cache}/quillmesh/cpython-ft-VERSION (and
# cpython-ft-tsan-VERSION), so a machine holding an older build builds the newer
# release once and keeps the old one for offline use.  The mirror is asked at
# most once per SOURCE_CHECK_MINUTES: in between, the build of the version found
# last time (recorded in cpython-source-version) is used without any download.
# When the mirror cannot be reached at all, the newest usable cached build is
# used instead.
#
# Environment:
#   PYTHON       candidate free-threaded interpreter, tried first by `ft`
#   PYTHON_GIL   candidate GIL interpreter, tried first by `gil`.  CPython
#                itself reads PYTHON_GIL and refuses to start unless it is 0 or
#                1, so callers that set it to a path must drop it from the
#                environment of the interpreters they run; probes here use -I.
#   PYENV_ROOT   pyenv installation searched by `gil` (default ~/.pyenv)
#   QUILLMESH_APT_ETC  apt configuration dir to read mirrors from (default /etc/apt)

set -euo pipefail

# Everything this script (and the tools it runs) prints goes to stderr; the
# single result line is written to the saved stdout on fd 3.
exec 3>&1 1>&2

# Turn signals into a normal exit so EXIT traps clean up temporary trees.
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

readonly PROG=find-python
readonly MIN_VERSION=3.13
# Suites whose python3.13 sources are candidates; the newest version among them is built.  testing
# carries the newest 3.13 point release; trixie, the release, is the fallback.
readonly SOURCE_SUITES=(testing trixie)
readonly SOURCE_PACKAGE=python3.13
# How long the newest version found on the mirror is trusted before the mirror is asked again.
readonly SOURCE_CHECK_MINUTES=1440
readonly BUILD_DEPS=(
    build-essential pkg-config xz-utils
    libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev libsqlite3-dev
    libreadline-dev libncurses-dev uuid-dev libgdbm-dev
)
# Modules a built interpreter must provide before it is accepted into the cache.
readonly REQUIRED_MODULES=(ssl sqlite3 ctypes bz2 lzma zlib readline venv ensurepip curses dbm.gnu uuid)

CACHE_ROOT="${XDG_CACHE_HOME:-$HOME/.cache}/quillmesh"
# Where the previous version of this script installed its one build (unversioned); still used
# when it holds the version wanted, or as an offline fallback.
LEGACY_FT_PREFIX="$CACHE_ROOT/cpython-ft"
# The upstream version of the source chosen at the last look at the mirror; its mtime is that look.
SOURCE_RECORD="$CACHE_ROOT/cpython-source-version"
APT_ETC="${QUILLMESH_APT_ETC:-/etc/apt}"

log() { printf '%s: %s\n' "$PROG" "$*" >&2; }
die() { log "error: $*"; exit 1; }

result() { printf '%s\n' "$1" >&3; }

usage() {
    log "usage: $0 ft|ft-tsan|gil"
    exit 2
}

# --------------------------------------------------------------------------
# Interpreter probes.  Each prints sys.executable on success and fails (with
# the reason on stderr) otherwise.  -I keeps PYTHONPATH, PYTHON_GIL and the
# user site directory from changing the answer.

# venv and ensurepip must be present and ensurepip must have a pip wheel to
# install, otherwise `python -m venv` produces environments without pip.
# Importing ensurepip costs a large part of a second on a busy machine, so the
# usual layouts (bundled wheel, WHEEL_PKG_DIR) are checked without importing
# it, and ensurepip itself is only asked when neither holds a wheel.
readonly PROBE_VENV='
import glob, importlib.util, os
if importlib.util.find_spec("venv") is None:
    sys.exit("no venv module")
ensurepip_module = importlib.util.find_spec("ensurepip")
if ensurepip_module is None or not ensurepip_module.origin:
    sys.exit("no ensurepip module")
dirs = [os.path.join(os.path.dirname(ensurepip_module.origin), "_bundled"),
        sysconfig.get_config_var("WHEEL_PKG_DIR") or ""]
if not any(glob.glob(os.path.join(d, "pip-*.whl")) for d in dirs if d):
    import ensurepip
    try:
        with ensurepip._get_pip_whl_path_ctx() as wheel:
            ok = wheel.is_file()
    except Exception:
        ok = False
    if not ok:
        sys.exit("ensurepip has no pip wheel to install")
'

# With arguments VERSION FLAVOUR (a cached build): the exact upstream version, and ThreadSanitizer
# present exactly when FLAVOUR is ft-tsan.
readonly PROBE_BUILD='
if len(sys.argv) > 1:
    import platform
    want_version, flavour = sys.argv[1:3]
    if platform.python_version() != want_version:
        sys.exit("version %s, not %s" % (platform.python_version(), want_version))
    tsan = "--with-thread-sanitizer" in (sysconfig.get_config_var("CONFIG_ARGS") or "")
    if tsan != (flavour == "ft-tsan"):
        sys.exit("built %s ThreadSanitizer" % ("with" if tsan else "without"))
'

readonly PROBE_FT='
import sys, sysconfig
if sys.version_info < (3, 13):
    sys.exit("version %d.%d is older than 3.13" % sys.version_info[:2])
if sysconfig.get_config_var("Py_GIL_DISABLED") != 1:
    sys.exit("not a free-threaded build (Py_GIL_DISABLED is not 1)")
if sys._is_gil_enabled():
    sys.exit("the GIL is enabled at run time")
'"$PROBE_BUILD$PROBE_VENV"'
print(sys.executable)
'

readonly PROBE_GIL='
import sys, sysconfig
if sys.version_info < (3, 13):
    sys.exit("version %d.%d is older than 3.13" % sys.version_info[:2])
if sysconfig.get_config_var("Py_GIL_DISABLED"):
    sys.exit("free-threaded build, not a GIL build")
if not sys._is_gil_enabled():
    sys.exit("the GIL is disabled at run time")
'"$PROBE_VENV"'
print(sys.executable)
'

# probe PROGRAM CANDIDATE [ARG...] -> prints the interpreter's absolute path on success.
probe() {
    local program=$1 candidate=$2 out err
    shift 2
    err=$(mktemp)
    if out=$("$candidate" -I -c "$program" "$@" 2>"$err") && [[ $out == /* ]]; then
        rm -f "$err"
        printf '%s\n' "$out"
        return 0
    fi
    log "skipping $candidate: $(first_error_line "$err")"
    rm -f "$err"
    return 1
}

# The line of a failed probe's stderr that says why: the exception of a
# traceback, otherwise the first line (e.g. a pyenv shim's complaint).
first_error_line() {
    if head -n 1 "$1" | grep -q '^Traceback'; then
        grep -v '^[[:space:]]' "$1" | tail -n 1
    else
        grep -m 1 . "$1" || echo "no output"
    fi
}

# `gil` additionally creates a throw-away venv, which catches interpreters
# whose venv module is present but unusable.
venv_works() {
    local python=$1 dir rc=0
    dir=$(mktemp -d)
    "$python" -I -m venv --without-pip "$dir/venv" >/dev/null 2>&1 &&
        "$dir/venv/bin/python" -I -c 'import sys; sys.exit(sys.prefix == sys.base_prefix)' || rc=1
    rm -rf "$dir"
    [[ $rc -eq 0 ]] || log "skipping $python: python -m venv does not work"
    return "$rc"
}

# --------------------------------------------------------------------------
# gil

find_gil() {
    local candidates=() cand found pyenv_root="${PYENV_ROOT:-$HOME/.pyenv}"
    [[ -n ${PYTHON_GIL:-} ]] && candidates+=("$PYTHON_GIL")
    if cand=$(command -v python3.13 2>/dev/null); then
        candidates+=("$cand")
    fi
    # Newest pyenv 3.13.x first.
    while IFS= read -r cand; do
        [[ -n $cand ]] && candidates+=("$cand")
    done < <(compgen -G "$pyenv_root/versions/3.13*/bin/python3.13" | sort -rV || true)

    for cand in ${candidates[@]+"${candidates[@]}"}; do
        if found=$(probe "$PROBE_GIL" "$cand") && venv_works "$found"; then
            result "$found"
            return 0
        fi
    done
    log "no standard (GIL) CPython >= $MIN_VERSION with venv found"
    return 1
}

# --------------------------------------------------------------------------
# ft: discovering an existing interpreter

find_existing_ft() {
    local cand found
    if [[ -n ${PYTHON:-} ]]; then
        if found=$(probe "$PROBE_FT" "$PYTHON"); then
            printf '%s\n' "$found"; return 0
        fi
    fi
    for cand in python3.14t python3.13t; do
        if command -v "$cand" >/dev/null 2>&1 && found=$(probe "$PROBE_FT" "$cand"); then
            printf '%s\n' "$found"; return 0
        fi
    done
    return 1
}

# The install prefix of the cached build of FLAVOUR (ft or ft-tsan) for upstream VERSION.
build_prefix() { printf '%s/cpython-%s-%s\n' "$CACHE_ROOT" "$1" "$2"; }

# cached_build FLAVOUR VERSION -> the interpreter of a usable cached build of exactly that version.
# The unversioned folder of earlier runs counts when it holds that version.
cached_build() {
    local flavour=$1 version=$2 prefix prefixes
    prefixes=("$(build_prefix "$flavour" "$version")")
    [[ $flavour == ft ]] && prefixes+=("$LEGACY_FT_PREFIX")
    for prefix in "${prefixes[@]}"; do
        [[ -x $prefix/bin/python3.13t ]] || continue
        probe "$PROBE_FT" "$prefix/bin/python3.13t" "$version" "$flavour" 2>/dev/null && return 0
    done
    return 1
}

# newest_cached_build FLAVOUR -> the interpreter of the newest usable cached build of any version,
# for when the mirror cannot be reached.
newest_cached_build() {
    local flavour=$1 prefix version
    while IFS= read -r prefix; do
        version=${prefix##*/cpython-"$flavour"-}
        [[ $version =~ ^3\.13\.[0-9]+$ ]] || continue
        cached_build "$flavour" "$version" && return 0
    done < <(compgen -G "$CACHE_ROOT/cpython-$flavour-3.13.*" | sort -rV || true)
    [[ $flavour == ft && -x $LEGACY_FT_PREFIX/bin/python3.13t ]] &&
        probe "$PROBE_FT" "$LEGACY_FT_PREFIX/bin/python3.13t" 2>/dev/null
}

# The version recorded at the last look at the mirror, if that look is recent enough to trust.
recent_source_version() {
    [[ -f $SOURCE_RECORD ]] || return 1
    [[ -n $(find "$SOURCE_RECORD" -mmin -"$SOURCE_CHECK_MINUTES" 2>/dev/null) ]] || return 1
    local version
    version=$(<"$SOURCE_RECORD")
    [[ $version =~ ^3\.13\.[0-9]+$ ]] && printf '%s\n' "$version"
}

# --------------------------------------------------------------------------
# ft: fetching Debian's CPython source

os_codename() {
    local line
    line=$(grep -E '^VERSION_CODENAME=' /etc/os-release 2>/dev/null || true)
    line=${line#VERSION_CODENAME=}
    line=${line//\"/}
    printf '%s\n' "$line"
}

# Emit "score<TAB>uri<TAB>signed-by" for every enabled binary/source stanza of
# the machine's apt sources that carries a main distribution suite with the
# `main` component.  Score 2 means the suite is this release's codename, 1 any
# other suite without a -security/-updates style suffix.  Inline (deb822
# embedded) keys are written to files under $1 and referenced by path.
list_apt_mirrors() {
    local keydir=$1 codename files=()
    codename=$(os_codename)
    mapfile -t files < <(compgen -G "$APT_ETC/sources.list.d/*.sources" | sort || true)
    if ((${#files[@]})); then
        awk -v codename="$codename" -v keydir="$keydir" '
            function reset() { delete f; nfields = 0; key = "" }
            function trim(s) { sub(/^[ \t\n]+/, "", s); sub(/[ \t\n]+$/, "", s); return s }
            function signedby(v,   kf) {
                v = trim(v)
                if (v ~ /BEGIN PGP PUBLIC KEY BLOCK/) {
                    kf = keydir "/inline-key-" (++nkeys) ".asc"
                    printf "%s\n", v > kf
                    close(kf)
                    return kf
                }
                gsub(/[ \t\n,]+/, ",", v)
                return v
            }
            function flush(   t, n, i, okType, mainOk, score, uri) {
                if (nfields == 0) return
                if (tolower(trim(f["enabled"])) == "no") { reset(); return }
                okType = 0; n = split(trim(f["types"]), t, /[ \t\n]+/)
                for (i = 1; i <= n; i++) if (t[i] == "deb" || t[i] == "deb-src") okType = 1
                mainOk = 0; n = split(trim(f["components"]), t, /[ \t\n]+/)
                for (i = 1; i <= n; i++) if (t[i] == "main") mainOk = 1
                score = 0; n = split(trim(f["suites"]), t, /[ \t\n]+/)
                for (i = 1; i <= n; i++) {
                    if (t[i] == codename && codename != "") score = 2
                    else if (t[i] != "" && t[i] !~ /[-\/]/ && score < 1) score = 1
                }
                uri = ""; n = split(trim(f["uris"]), t, /[ \t\n]+/)
                for (i = 1; i <= n; i++) if (t[i] != "" && t[i] !~ /^cdrom:/) { uri = t[i]; break }
                if (okType && mainOk && score > 0 && uri != "")
                    printf "%d\t%s\t%s\n", score, uri, signedby(f["signed-by"])
                reset()
            }
            BEGIN { nkeys = 0; reset() }
            FNR == 1 { flush() }
            /^[ \t]*#/ { next }
            /^[ \t]*$/ { flush(); next }
            /^[ \t]/ {
                if (key == "") next
                line = $0; sub(/^[ \t]+/, "", line)
                if (line == ".") line = ""
                f[key] = f[key] "\n" line
                next
            }
            {
                i = index($0, ":")
                if (i == 0) next
                key = tolower(substr($0, 1, i - 1))
                f[key] = trim(substr($0, i + 1))
                nfields++
            }
            END { flush() }
        ' "${files[@]}"
    fi

    files=()
    [[ -f $APT_ETC/sources.list ]] && files+=("$APT_ETC/sources.list")
    mapfile -t -O "${#files[@]}" files < <(compgen -G "$APT_ETC/sources.list.d/*.list" | sort || true)
    if ((${#files[@]})); then
        awk -v codename="$codename" '
            /^[ \t]*(#|$)/ { next }
            {
                line = $0
                sub(/^[ \t]+/, "", line)
                type = line; sub(/[ \t].*/, "", type)
                if (type != "deb" && type != "deb-src") next
                line = substr(line, length(type) + 1); sub(/^[ \t]+/, "", line)
                sb = ""
                if (substr(line, 1, 1) == "[") {
                    close_at = index(line, "]")
                    if (close_at == 0) next
                    n = split(substr(line, 2, close_at - 2), opts, /[ \t]+/)
                    for (i = 1; i <= n; i++) {
                        eq = index(opts[i], "=")
                        if (eq && tolower(substr(opts[i], 1, eq - 1)) == "signed-by")
                            sb = substr(opts[i], eq + 1)
                    }
                    line = substr(line, close_at + 1)
                }
                sub(/#.*/, "", line)
                n = split(line, w, /[ \t]+/)
                k = 0
                for (i = 1; i <= n; i++) if (w[i] != "") word[++k] = w[i]
                if (k < 3 || word[1] ~ /^cdrom:/) next
                score = 0
                if (word[2] == codename && codename != "") score = 2
                else if (word[2] !~ /[-\/]/) score = 1
                mainOk = 0
                for (i = 3; i <= k; i++) if (word[i] == "main") mainOk = 1
                if (score && mainOk) printf "%d\t%s\t%s\n", score, word[1], sb
            }
        ' "${files[@]}"
    fi
}

# Keyrings shipped by the installed debian-archive-keyring package for Debian's releases (testing
# is signed with the keys of the releases around it), as a comma-separated list.
archive_keyrings() {
    dpkg-query -L debian-archive-keyring 2>/dev/null |
        grep -E '^/usr/share/keyrings/debian-archive-[a-z]+-(stable|automatic)\.(gpg|asc)$' |
        paste -sd, - || true
}

# The apt options that confine apt-get to the private state under $1.
APT_OPTS=()
set_apt_opts() {
    local work=$1
    APT_OPTS=(
        -o "Dir::Etc::SourceList=$work/sources.list"
        -o "Dir::Etc::SourceParts=/nonexistent"
        -o "Dir::State::Lists=$work/lists"
        -o "Dir::Cache=$work/cache"
        -o "Dir::Cache::Archives=$work/archives"
        -o "Dir::Cache::pkgcache="
        -o "Dir::Cache::srcpkgcache="
    )
}

# The suites of SOURCE_SUITES whose verified source index is in the private lists of $1.
fetched_suites() {
    local suite
    for suite in "${SOURCE_SUITES[@]}"; do
        compgen -G "$1/lists/*_dists_${suite}_main_source_Sources*" >/dev/null && printf '%s\n' "$suite"
    done
    return 0
}

# fetch_index WORKDIR: the source indexes of SOURCE_SUITES from the machine's mirror into a private
# apt state under WORKDIR.  Fails when not one suite's index could be fetched and verified.
fetch_index() {
    local work=$1 best uri signed_by keyrings attempt suite got
    mkdir -p "$work/keys"
    best=$(list_apt_mirrors "$work/keys" | sort -t $'\t' -s -k1,1nr | head -n 1)
    if [[ -z $best ]]; then
        log "no Debian mirror found in $APT_ETC/sources.list.d/*.sources or $APT_ETC/sources.list"
        return 1
    fi
    IFS=$'\t' read -r _ uri signed_by <<<"$best"
    log "using mirror $uri (keyring: ${signed_by:-trusted.gpg.d})"

    # The private apt state lives in $work.  apt drops to the _apt user for
    # downloads, so the directories it writes into must be reachable by it.
    mkdir -p "$work/lists/partial" "$work/archives/partial" "$work/cache" "$work/src"
    chmod 755 "$work"
    if [[ $EUID -eq 0 ]] && id _apt >/dev/null 2>&1; then
        chown _apt "$work/src"
    fi
    set_apt_opts "$work"

    # First with the machine's own keyring; if that cannot verify every suite's Release file, add
    # Debian's archive keys from debian-archive-keyring.  The signature is always checked.
    for attempt in machine archive; do
        if [[ $attempt == archive ]]; then
            keyrings=$(archive_keyrings)
            if [[ -z $keyrings ]]; then
                log "debian-archive-keyring lists no archive keys; upgrading it"
                apt_install_system --only-upgrade debian-archive-keyring || true
                keyrings=$(archive_keyrings)
            fi
            [[ -n $keyrings ]] || break
            if [[ $signed_by == */* ]]; then
                signed_by="$signed_by,$keyrings"
            else
                signed_by=$keyrings
            fi
            log "retrying with keyring(s) $signed_by"
        fi
        for suite in "${SOURCE_SUITES[@]}"; do
            if [[ -n $signed_by ]]; then
                printf 'deb-src [signed-by=%s] %s %s main\n' "$signed_by" "$uri" "$suite"
            else
                printf 'deb-src %s %s main\n' "$uri" "$suite"
            fi
        done >"$work/sources.list"
        rm -f "$work"/lists/*_Sources* "$work"/lists/*Release*
        apt-get "${APT_OPTS[@]}" update || true
        got=$(fetched_suites "$work")
        [[ $(wc -w <<<"$got") -eq ${#SOURCE_SUITES[@]} ]] && break
        log "could not fetch a verified source index of every suite (${SOURCE_SUITES[*]}) with the $attempt keyring(s)"
    done
    got=$(fetched_suites "$work")
    if [[ -z $got ]]; then
        log "apt-get update for the sources of ${SOURCE_SUITES[*]} failed (see above)"
        return 1
    fi
    log "source indexes fetched: $(paste -sd' ' - <<<"$got")"
}

# source_versions: the Debian versions of SOURCE_PACKAGE 3.13.x in the fetched indexes, newest
# first.
source_versions() {
    apt-cache "${APT_OPTS[@]}" showsrc "$SOURCE_PACKAGE" 2>/dev/null |
        sed -n 's/^Version: *//p' | grep -E '^([0-9]+:)?3\.13\.[0-9]+(-|$)' | sort -u | sort -rV
}

# The upstream version of Debian version $1: no epoch, no Debian revision.
upstream_version() {
    local v=${1#*:}
    printf '%s\n' "${v%%-*}"
}

# download_source WORKDIR DEBIAN_VERSION -> sets SOURCE_TARBALL to the downloaded orig tarball.  apt
# checks it against the verified index.
SOURCE_TARBALL=
download_source() {
    local work=$1 version=$2 upstream tarballs=()
    upstream=$(upstream_version "$version")
    rm -rf "${work:?}/src/"*
    (cd "$work/src" && apt-get "${APT_OPTS[@]}" source -d "$SOURCE_PACKAGE=$version") || return 1
    mapfile -t tarballs < <(compgen -G "$work/src/${SOURCE_PACKAGE}_$upstream.orig.tar.xz" || true)
    if [[ ${#tarballs[@]} -ne 1 ]]; then
        log "expected one ${SOURCE_PACKAGE}_$upstream.orig.tar.xz, found ${#tarballs[@]}"
        return 1
    fi
    SOURCE_TARBALL=${tarballs[0]}
}

# --------------------------------------------------------------------------
# ft: building

as_root() {
    if [[ $EUID -eq 0 ]]; then
        "$@"
    elif command -v sudo >/dev/null 2>&1; then
        sudo "$@"
    else
        die "need root to run: $*"
    fi
}

apt_install_system() {
    DEBIAN_FRONTEND=noninteractive as_root apt-get install -y --no-install-recommends "$@"
}

install_build_deps() {
    local pkg missing=()
    for pkg in "${BUILD_DEPS[@]}"; do
        if [[ $(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true) != "install ok installed" ]]; then
            missing+=("$pkg")
        fi
    done
    ((${#missing[@]})) || return 0
    log "installing build dependencies: ${missing[*]}"
    if ! apt_install_system "${missing[@]}"; then
        log "install failed; refreshing package lists and retrying"
        as_root apt-get update
        apt_install_system "${missing[@]}" || die "could not install: ${missing[*]}"
    fi
}

# build FLAVOUR VERSION: builds the source in SOURCE_TARBALL into the cache folder of FLAVOUR and
# VERSION; runs with the build lock held.  Configures for the final prefix, installs into a staging
# tree next to it and renames the finished tree into place, so the cache folder only ever holds a
# complete installation.
BUILD_PID=
BUILD_WORK=
BUILD_STAGE=
cleanup_build() {
    if [[ -n $BUILD_PID ]]; then
        kill -- -"$BUILD_PID" 2>/dev/null || true
        wait "$BUILD_PID" 2>/dev/null || true
    fi
    rm -rf "$BUILD_WORK" "$BUILD_STAGE"
}

build() {
    local flavour=$1 version=$2 prefix stage started=$SECONDS configure_args=(--disable-gil)
    local buildlog="$CACHE_ROOT/cpython-$flavour-$version-build.log"
    prefix=$(build_prefix "$flavour" "$version")
    stage="$CACHE_ROOT/.cpython-$flavour-$version.stage.$$"
    BUILD_STAGE=$stage
    # With the lock held, staging trees left by killed runs are abandoned.
    rm -rf "$CACHE_ROOT"/.cpython-"$flavour"-3.13.*.stage.*
    # The interpreter built with ThreadSanitizer runs its own install steps (compileall, ensurepip);
    # CPython's own races are not what it is built to find, so they must not fail the build.
    # Byte-compiling the whole library at install time runs for the better part of an hour under
    # ThreadSanitizer on two busy cores; its packages (the test suite above all) are compiled when
    # first imported instead.
    local tsan_options=${TSAN_OPTIONS:-} compileall_opts=-j0
    if [[ $flavour == ft-tsan ]]; then
        configure_args+=(--with-thread-sanitizer)
        tsan_options=report_bugs=0
        compileall_opts="-j0 -l"
    fi

    log "building $flavour CPython $version into $prefix (takes a few minutes; ThreadSanitizer many more)"
    install_build_deps
    mkdir "$BUILD_WORK/build"
    tar -xf "$SOURCE_TARBALL" -C "$BUILD_WORK/build" --strip-components=1
    log "compiling; full log in $buildlog"
    # The compile runs as its own process group, waited on in the background,
    # so that an interrupt stops it at once and the EXIT trap can take the
    # whole group down (bash would otherwise defer traps until it finished).
    # shellcheck disable=SC2016  # expanded by the inner shell
    TSAN_OPTIONS=$tsan_options setsid -w bash -c '
        set -e
        cd "$1"
        ./configure "${@:5}" --prefix="$2" --with-ensurepip=install
        make -j"$(nproc)"
        make install DESTDIR="$3" COMPILEALL_OPTS="$4"
    ' build "$BUILD_WORK/build" "$prefix" "$stage" "$compileall_opts" "${configure_args[@]}" </dev/null >"$buildlog" 2>&1 &
    BUILD_PID=$!
    if ! wait "$BUILD_PID"; then
        BUILD_PID=
        tail -n 40 "$buildlog" >&2
        die "CPython build failed; see $buildlog"
    fi
    BUILD_PID=

    local staged="$stage$prefix/bin/python3.13t"
    [[ -x $staged ]] || die "build finished but $staged is missing"
    # CPython skips optional modules whose libraries are absent instead of
    # failing, so check for the ones the test suite relies on.
    TSAN_OPTIONS=$tsan_options "$staged" -I -c '
import importlib, sys
missing = []
for name in sys.argv[1:]:
    try:
        importlib.import_module(name)
    except ImportError as exc:
        missing.append("%s (%s)" % (name, exc))
if missing:
    sys.exit("missing modules: " + ", ".join(missing))
' "${REQUIRED_MODULES[@]}" || die "the built interpreter is incomplete; see $buildlog"

    rm -rf "$prefix"
    mv -T "$stage$prefix" "$prefix"
    rm -rf "$stage"
    log "built in $((SECONDS - started))s"
}

# find_built FLAVOUR: the cached build of the newest 3.13 source on the mirror, built first if it
# is not cached yet (see the top of this file).
find_built() {
    local flavour=$1 found version upstream versions=() lock
    if version=$(recent_source_version) && found=$(cached_build "$flavour" "$version"); then
        result "$found"
        return 0
    fi

    mkdir -p "$CACHE_ROOT"
    lock="$CACHE_ROOT/cpython-$flavour.lock"
    exec 9>"$lock"
    if ! flock -n 9; then
        log "another run holds $lock; waiting for it"
        flock 9
    fi
    # Whoever held the lock may have just looked at the mirror and built.
    if version=$(recent_source_version) && found=$(cached_build "$flavour" "$version"); then
        exec 9>&-
        result "$found"
        return 0
    fi

    BUILD_WORK=$(mktemp -d "${TMPDIR:-/tmp}/quillmesh-cpython.XXXXXX")
    trap cleanup_build EXIT
    if fetch_index "$BUILD_WORK"; then
        mapfile -t versions < <(source_versions)
        ((${#versions[@]})) || log "the fetched indexes hold no $SOURCE_PACKAGE 3.13.x"
    fi
    # Newest first; an older one only when a newer one cannot be downloaded.
    for version in ${versions[@]+"${versions[@]}"}; do
        upstream=$(upstream_version "$version")
        if ! found=$(cached_build "$flavour" "$upstream"); then
            if ! download_source "$BUILD_WORK" "$version"; then
                log "could not download $SOURCE_PACKAGE $version; trying an older one"
                continue
            fi
            log "source: ${SOURCE_TARBALL##*/} (Debian $version)"
            build "$flavour" "$upstream"
            found=$(probe "$PROBE_FT" "$(build_prefix "$flavour" "$upstream")/bin/python3.13t" "$upstream" "$flavour") ||
                die "the interpreter built for $flavour $upstream is not usable"
        fi
        printf '%s\n' "$upstream" >"$SOURCE_RECORD"
        cleanup_build
        trap - EXIT
        exec 9>&-
        result "$found"
        return 0
    done

    cleanup_build
    trap - EXIT
    exec 9>&-
    if found=$(newest_cached_build "$flavour"); then
        log "no source could be fetched; using the cached $found"
        result "$found"
        return 0
    fi
    die "no $SOURCE_PACKAGE source could be fetched and nothing is cached for $flavour"
}

find_ft() {
    local found
    if found=$(find_existing_ft); then
        result "$found"
        return 0
    fi
    find_built ft
}

[[ $# -eq 1 ]] || usage
case $1 in
    ft) find_ft ;;
    ft-tsan) find_built ft-tsan ;;
    gil) find_gil ;;
    *) usage ;;
esac
