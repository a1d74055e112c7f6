#!/usr/bin/env python3
"""Checks that the library's includes only point down the layers.

Layers, bottom-up: support < transport < stomp < messaging. A private file
belongs to its folder under source/; a public header to the folder holding
its .cpp, or to HEADER_ONLY_LAYERS when it has none. Public headers are
installed without source/, so they may include only other public headers.

Usage: check-layers.py [PROJECT_ROOT]   (default: the folder above this script)
"""
import re
import sys
from pathlib import Path

LAYERS = ["support", "transport", "stomp", "messaging"]
# The umbrella header includes everything, so it ranks above every layer.
UMBRELLA = "vqstomp.h"
RANKS = {name: rank for rank, name in enumerate(LAYERS + ["umbrella"])}
HEADER_ONLY_LAYERS = {
    "VQSupportInterfaces.h": "support",
    "VQStompInterfaces.h": "stomp",
    "VQTLSOptions.h": "transport",
    "VQConnectionOptions.h": "messaging",
    UMBRELLA: "umbrella",
}
INCLUDE = re.compile(r'^\s*#\s*include\s*(?:"([^"]+)"|<(vqstomp/[^>]+)>)')


def public_layer(root, header_name):
    """The layer of include/vqstomp/<header_name>, or None if it has none."""
    if header_name in HEADER_ONLY_LAYERS:
        return HEADER_ONLY_LAYERS[header_name]
    units = sorted(root.glob(f"source/*/{Path(header_name).stem}.cpp"))
    return units[0].parent.name if units else None


def private_layer(relative_path):
    """The layer of a path relative to source/, or None outside the layer folders."""
    folder = Path(relative_path).parts[0]
    return folder if folder in LAYERS else None


def layer_of_file(root, path):
    if path.parent == root / "include" / "vqstomp":
        return public_layer(root, path.name)
    return private_layer(path.relative_to(root / "source"))


def included_layer(root, private_path, public_path):
    """The layer of an included header, or an error saying why it has none."""
    if private_path:
        if not (root / "source" / private_path).is_file():
            return None, "names a file that does not exist under source/"
        layer = private_layer(private_path)
        return layer, None if layer else "is outside the layer folders"
    if not (root / "include" / public_path).is_file():
        return None, "names a public header that does not exist"
    layer = public_layer(root, Path(public_path).name)
    return layer, None if layer else "is a public header with no layer"


def includes(path):
    """Yields (line number, quoted path or None, <vqstomp/...> path or None)."""
    for number, text in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        match = INCLUDE.match(text)
        if match:
            yield number, match.group(1), match.group(2)


def violations_in(root, path):
    where = path.relative_to(root)
    is_public = path.parent == root / "include" / "vqstomp"
    layer = layer_of_file(root, path)
    if layer is None:
        yield f"{where}: belongs to no layer (no .cpp under source/ and not in the header-only table)"
        return
    for number, private_path, public_path in includes(path):
        header = f'"{private_path}"' if private_path else f"<{public_path}>"
        if is_public and private_path:
            yield f"{where}:{number}: includes private {header}; public headers are installed without source/"
            continue
        target_layer, problem = included_layer(root, private_path, public_path)
        if problem:
            yield f"{where}:{number}: {header} {problem}"
        elif RANKS[target_layer] > RANKS[layer]:
            yield f"{where}:{number}: {header} is {target_layer}, above this file's layer {layer}"


def checked_files(root):
    public = sorted((root / "include" / "vqstomp").glob("*.h"))
    private = sorted(p for p in (root / "source").rglob("*") if p.suffix in (".h", ".cpp"))
    return public + private


def main():
    root = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent).resolve()
    files = checked_files(root)
    if not files:
        print(f"no headers or sources found under {root}: not a project root")
        return 1
    violations = [line for path in files for line in violations_in(root, path)]
    for line in violations:
        print(line)
    if violations:
        print(f"{len(violations)} layering violation(s) in {len(files)} files")
        return 1
    print(f"layers ok: {len(files)} files include only their own layer or below")
    return 0


if __name__ == "__main__":
    sys.exit(main())
