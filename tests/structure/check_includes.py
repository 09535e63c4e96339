#!/usr/bin/env python3
"""Fails when product code reaches past its layer.

Modules depend one way: platform -> crypto -> logging -> config -> transport -> protocol ->
syscontrol -> updater / installer. A file may include headers of its own module and of modules
below it, never one above it or a sibling; every module may include logging/ilogger.h. Only the
platform's backends include backend headers, and libcurl's header is included by the libcurl
transport's source alone.
"""
import pathlib
import re
import sys

ORDER = ["platform", "crypto", "logging", "config", "transport", "protocol", "syscontrol", "updater", "installer"]
RANK = {m: i for i, m in enumerate(ORDER)}
RANK["installer"] = RANK["updater"]
BACKENDS = ("platform/winsim/", "platform/win32/")
ALWAYS_ALLOWED = {"logging/ilogger.h"}
CURL_ALLOWED = {"transport/curl_easy.cpp"}
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^">]+)[">]')


def problems(src: pathlib.Path):
    for path in sorted(src.rglob("*")):
        if path.suffix not in (".h", ".cpp") or not path.is_file():
            continue
        rel = path.relative_to(src).as_posix()
        if rel.startswith(BACKENDS):
            continue
        module = rel.split("/", 1)[0]
        if module not in RANK:
            yield f"{rel}: not in a known module folder"
            continue
        for number, line in enumerate(path.read_text(encoding="utf-8", errors="replace").splitlines(), 1):
            m = INCLUDE.match(line)
            if not m:
                continue
            quote, header = m.groups()
            close = ">" if quote == "<" else '"'
            where = f"{rel}:{number}: #include {quote}{header}{close}"
            if header.startswith("curl/"):
                if rel not in CURL_ALLOWED:
                    yield f"{where}: libcurl belongs to the libcurl transport's source alone"
                continue
            if quote != '"':
                continue
            if header.startswith(BACKENDS):
                yield f"{where}: a backend header outside the platform's backends"
                continue
            target = header.split("/", 1)[0]
            if "/" not in header or target not in RANK or header in ALWAYS_ALLOWED or target == module:
                continue
            if RANK[target] >= RANK[module]:
                yield f"{where}: {module} may not depend on {target}"


def main() -> int:
    src = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "src")
    if not (src / "platform").is_dir():
        print(f"check_includes: {src} is no source folder", file=sys.stderr)
        return 2
    found = list(problems(src))
    for p in found:
        print(p)
    print(f"check_includes: {len(found)} problem(s)")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
