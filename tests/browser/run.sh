#!/bin/sh
# Runs the browser test of the web tool: installs puppeteer-core into the
# work directory (once) and drives Debian's chromium against a fresh vkto.
# Exits 77 (skipped) when a package or the driver cannot be had, 1 instead
# under CI=true.
#   run.sh <vkto> <work directory>
set -e
VKTO=$1
WORK=$2
HERE=$(cd "$(dirname "$0")" && pwd)
missing=""
command -v node >/dev/null 2>&1 || missing="$missing nodejs"
command -v npm >/dev/null 2>&1 || missing="$missing npm"
[ -x /usr/bin/chromium ] || missing="$missing chromium"
if [ -n "$missing" ]; then
	if [ "$CI" = true ]; then
		echo "browser test: missing Debian packages:$missing" >&2
		exit 1
	fi
	echo "SKIP: browser test needs the Debian packages:$missing"
	exit 77
fi
mkdir -p "$WORK"
cp "$HERE/package.json" "$WORK/package.json"
if [ ! -d "$WORK/node_modules/puppeteer-core" ]; then
	(cd "$WORK" && npm install --no-audit --no-fund --loglevel=error >npm-install.log 2>&1) || {
		cat "$WORK/npm-install.log" >&2
		if [ "$CI" = true ]; then exit 1; fi
		echo "SKIP: npm could not install puppeteer-core (the browser test needs the npm registry)"
		exit 77
	}
fi
NODE_PATH="$WORK/node_modules" exec node "$HERE/console_test.js" "$VKTO" "$WORK"
