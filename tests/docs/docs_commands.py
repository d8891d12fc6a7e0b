#!/usr/bin/env python3
"""Keeps the commands that README.md and docs/*.md show true, so that none goes stale silently.

  docs_commands.py [--root DIR] [FILE.md...]     (default: README.md and docs/*.md under DIR)

A command is an inline code span, or a line of a fenced block, that starts with scripts/,
cmake , ctest , build/, python3 , or qz4launcher and a space (or .exe); " && " separates
commands in one. Text in <angle brackets> is a placeholder and is not checked. For each command:
  scripts/X        exists and is executable; each --option shown is listed by `scripts/X --help`
  cmake, ctest     each --preset names a preset of that kind in CMakePresets.json, each --target
                   a target, and each -DQZ4_... a cache variable, that the CMake files define;
                   a preset without the unsigned opt-in is configured with a key or the opt-in
  build/P/.../N    a program when N is a plain name (a folder ends in /): P is a configure
                   preset and N a target
  python3 F        F exists; each --option shown is listed by its --help (of the subcommand
                   shown, if any)
  qz4launcher      each -flag shown is one the command line reads
Beyond the commands: README names the test command, and each command CI runs verbatim is
really run by its caller. Prints every stale command with the reason; exits 1 if there is one.
"""

import argparse
import glob
import json
import os
import re
import subprocess
import sys

PREFIXES = ("scripts/", "cmake ", "ctest ", "build/", "python3 ", "qz4launcher ", "qz4launcher.exe", "./qz4launcher")
# Who runs what verbatim: CI's entry point and the test command.
CI_CALLS = {
    ".ci/run": ("scripts/test.sh", "scripts/demo.sh"),
    "scripts/test.sh": ("scripts/fuzz.sh --check", "scripts/test-windows.sh"),
}
TEST_COMMAND = "scripts/test.sh"
TARGET_DEFINITION = re.compile(
    r"^\s*(add_executable|add_library|add_custom_target|qz4_test|qz4_library|qz4_launcher_executable|qz4_fuzzer)"
    r"\(\s*([\w.-]+)", re.M)
CACHE_DEFINITION = re.compile(r"^\s*(?:option\(\s*(QZ4_\w+)|set\(\s*(QZ4_\w+)\s[^)]*\bCACHE\b)", re.M)
LONG_OPTION = re.compile(r"(?<![\w-])--[a-z][\w-]*")


def commands_in(text):
    """The commands of a Markdown text, with the line each starts on."""
    found, fenced = [], False
    for number, line in enumerate(text.splitlines(), 1):
        if line.lstrip().startswith("```"):
            fenced = not fenced
            continue
        pieces = [line.strip()] if fenced else re.findall(r"`([^`]+)`", line)
        for piece in pieces:
            for command in piece.replace("\\|", "|").split(" && "):
                command = command.strip()
                if command.startswith(PREFIXES):
                    found.append((number, command))
    return found


class Checker:
    def __init__(self, root):
        self.root = root
        with open(os.path.join(root, "CMakePresets.json")) as file:
            presets = json.load(file)
        self.presets = {kind: {p["name"] for p in presets.get(kind + "Presets", []) if not p.get("hidden")}
                        for kind in ("configure", "build", "test")}
        # Configuring stops without the publisher's key unless the opt-in is on.
        self.keyed = {p["name"] for p in presets["configurePresets"]
                      if p.get("cacheVariables", {}).get("QZ4_ALLOW_UNSIGNED_UPDATES") != "ON"}
        cmake_text = ""
        for folder, subfolders, names in os.walk(root):
            subfolders[:] = [name for name in subfolders if name not in ("build", ".git")]
            for name in names:
                if name == "CMakeLists.txt" or name.endswith(".cmake"):
                    with open(os.path.join(folder, name), encoding="utf-8") as file:
                        cmake_text += file.read() + "\n"
        self.targets = {("fuzz_" + name if kind == "qz4_fuzzer" else name)
                        for kind, name in TARGET_DEFINITION.findall(cmake_text)}
        self.cache_variables = {a or b for a, b in CACHE_DEFINITION.findall(cmake_text)}

    def options_listed(self, argv, options, what):
        if not options:
            return []
        run = subprocess.run([*argv, "--help"], cwd=self.root, capture_output=True, text=True,
                             stdin=subprocess.DEVNULL, timeout=60)
        if run.returncode != 0:
            return [f"{what} --help fails"]
        listed = LONG_OPTION.findall(run.stdout)
        return [f"{what} does not list {option}" for option in options if option not in listed]

    def faults(self, command):
        words = re.sub(r"<[^>]*>", "<>", command).split()
        options = sorted(set(LONG_OPTION.findall(" ".join(words[1:]))))
        program = words[0]
        if program.endswith("/"):
            return []  # a folder
        if program.startswith("scripts/"):
            path = os.path.join(self.root, program)
            if not os.access(path, os.X_OK) or not os.path.isfile(path):
                return [f"{program} is not an executable file"]
            return self.options_listed([path], options, program)
        if program in ("cmake", "ctest"):
            return self.cmake_faults(program, words)
        if program.startswith("build/"):
            return self.program_faults(program)
        if program == "python3":
            script = words[1]
            if not os.path.isfile(os.path.join(self.root, script)):
                return [f"{script} does not exist"]
            subcommand = words[2:3] if len(words) > 2 and re.fullmatch(r"[a-z]+", words[2]) else []
            return self.options_listed([sys.executable, script, *subcommand], options, script)
        return self.flag_faults(words)

    def cmake_faults(self, program, words):
        kind = "test" if program == "ctest" else "build" if "--build" in words else "configure"
        faults = []
        for option, value in zip(words, words[1:] + [""]):
            if value == "<>":
                continue
            if option == "--preset" and value not in self.presets[kind]:
                faults.append(f"no {kind} preset {value}")
            elif option == "--preset" and kind == "configure" and value in self.keyed and not any(
                    w.startswith("-DQZ4_UPDATE_PUBLIC_KEY=") or w == "-DQZ4_ALLOW_UNSIGNED_UPDATES=ON" for w in words):
                faults.append(f"configuring {value} needs -DQZ4_UPDATE_PUBLIC_KEY or -DQZ4_ALLOW_UNSIGNED_UPDATES=ON")
            elif option == "--target" and value not in self.targets:
                faults.append(f"no target {value}")
        for name in re.findall(r"-D(QZ4_\w+)", " ".join(words)):
            if name not in self.cache_variables:
                faults.append(f"no cache variable {name}")
        return faults

    def program_faults(self, path):
        parts = path.split("/")
        name = parts[-1].removesuffix(".exe")
        if path.endswith("/") or len(parts) < 3 or "." in name or "<" in path:
            return []  # a folder or a file, not a program
        faults = [] if parts[1] in self.presets["configure"] else [f"no configure preset {parts[1]}"]
        return faults + ([] if name in self.targets else [f"no target {name}"])

    def flag_faults(self, words):
        with open(os.path.join(self.root, "app/command_line.cpp"), encoding="utf-8") as file:
            source = file.read()
        flags = [w.split("=")[0] + ("=" if "=" in w else "") for w in words[1:] if re.match(r"-[a-z]", w)]
        return [f"the command line reads no {flag}" for flag in flags if f'L"{flag}"' not in source]

    def ci_faults(self):
        faults = []
        for caller, commands in CI_CALLS.items():
            with open(os.path.join(self.root, caller)) as file:
                lines = [line.strip() for line in file if not line.lstrip().startswith("#")]
            for command in commands:
                run = re.compile(r"(^|[;&|]\s*|\b(then|do)\s+)(\w+=\S+\s+)*" + re.escape(command) + r"\s*($|;|&&|\|\|)")
                if not any(run.search(line) for line in lines):
                    faults.append(f"{caller} does not run {command}")
        return faults


def stale_commands(root, files):
    checker = Checker(root)
    stale = checker.ci_faults()
    for path in files:
        with open(path, encoding="utf-8") as file:
            text = file.read()
        shown = os.path.relpath(path, root)
        if shown == "README.md" and f"`{TEST_COMMAND}`" not in text:
            stale.append(f"README.md: does not name the test command {TEST_COMMAND}")
        for number, command in commands_in(text):
            stale += [f"{shown}:{number}: `{command}`: {fault}" for fault in checker.faults(command)]
    return stale


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "../.."))
    parser.add_argument("files", nargs="*")
    args = parser.parse_args()
    root = os.path.abspath(args.root)
    files = args.files or [os.path.join(root, "README.md"), *sorted(glob.glob(os.path.join(root, "docs/*.md")))]
    stale = stale_commands(root, [os.path.abspath(f) for f in files])
    for line in stale:
        print(line)
    print(f"{len(stale)} stale command(s)" if stale else "every command checked")
    return 1 if stale else 0


if __name__ == "__main__":
    sys.exit(main())
