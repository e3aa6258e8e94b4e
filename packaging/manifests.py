"""The package managers' manifests of a release, made from its SHA256SUMS,
and their checks. Run by .ci/release with Debian's python3 (python3-yaml,
python3-jsonschema).

    manifests.py make SETTINGS DIST
        writes into DIST, from DIST/SHA256SUMS and SETTINGS (the build's
        package-settings.json): rowpatcher.rb (a Homebrew formula, from
        packaging/homebrew/rowpatcher.rb), rowpatcher.json (a Scoop
        manifest), the three winget manifests (1.12.0) and recipe.yaml (a
        conda-forge recipe, v1)
    manifests.py check SCHEMAS DIST
        validates each against its schema, checks the keys of the winget
        manifests against the schema's (whose root takes any key), and
        checks every hash against the file it names in DIST
    manifests.py windows DIST
        "MANIFEST ZIP PATH" for each Windows zip a manifest installs: where
        in the unpacked zip the manifest says the program is
    manifests.py homebrew-install FORMULA PREFIX TOP_LEVEL_INCLUDE
        the formula's install commands, as brew would run them
    manifests.py homebrew-test FORMULA BIN
        runs the formula's test block against BIN/rowpatcher, here
    manifests.py conda-script build|test RECIPE
        the recipe's build or test script, for the shell to run
"""

import hashlib
import json
import os
import re
import shlex
import subprocess
import sys
import tempfile
import time

import yaml

PACKAGING = os.path.dirname(os.path.abspath(__file__))
WINGET_ID = "Rowpatcher.Rowpatcher"
WINGET_VERSION = "1.12.0"
WINGET_FILES = {  # file: the schema of its ManifestType
    f"{WINGET_ID}.yaml": "version",
    f"{WINGET_ID}.locale.en-US.yaml": "defaultLocale",
    f"{WINGET_ID}.installer.yaml": "installer",
}
# The Windows zips, by Scoop's and winget's names for their processor.
WINDOWS = {"64bit": ("x64", "x86_64"), "arm64": ("arm64", "arm64")}


class StringDates(yaml.SafeLoader):
    """YAML as written: a date stays the string it is."""


StringDates.yaml_implicit_resolvers = {
    first: [(tag, regexp) for tag, regexp in resolvers if tag != "tag:yaml.org,2002:timestamp"]
    for first, resolvers in yaml.SafeLoader.yaml_implicit_resolvers.items()
}


def load_yaml(path):
    with open(path, encoding="utf-8") as file:
        return yaml.load(file, Loader=StringDates)


def sums(dist):
    """SHA256SUMS as {file: hash}."""
    with open(os.path.join(dist, "SHA256SUMS"), encoding="utf-8") as file:
        return {name: digest for digest, name in (line.split(maxsplit=1) for line in file.read().splitlines())}


def sentence(summary):
    return summary[:1].upper() + summary[1:]


def make(settings_path, dist):
    with open(settings_path, encoding="utf-8") as file:
        settings = json.load(file)
    hashes = sums(dist)
    version, homepage = settings["version"], settings["homepage"]
    base = f"{settings['releases_url']}/v{version}"
    tarball = f"rowpatcher-{version}.tar.gz"
    short = sentence(settings["summary"])
    description = settings["description"].replace("\n", " ")
    zips = {arch: f"rowpatcher-{version}-windows-{name}" for arch, (_, name) in WINDOWS.items()}

    def write(name, text):
        with open(os.path.join(dist, name), "w", encoding="utf-8") as file:
            file.write(text)

    def dump(data):
        return yaml.safe_dump(data, sort_keys=False, allow_unicode=True, width=1 << 16)

    with open(os.path.join(PACKAGING, "homebrew", "rowpatcher.rb"), encoding="utf-8") as file:
        formula = file.read()
    for key, value in {"DESC": short, "HOMEPAGE": homepage, "URL": f"{base}/{tarball}", "SHA256": hashes[tarball]}.items():
        formula = formula.replace(f"@{key}@", value)
    write("rowpatcher.rb", formula)

    scoop = {
        "version": version,
        "description": short,
        "homepage": homepage,
        "license": settings["license"],
        "architecture": {
            arch: {"url": f"{base}/{folder}.zip", "hash": hashes[f"{folder}.zip"], "extract_dir": folder}
            for arch, folder in zips.items()
        },
        "bin": "rowpatcher.exe",
        "checkver": {"url": homepage, "regex": r"rowpatcher-([\d.]+)-windows-x86_64\.zip"},
        "autoupdate": {
            "architecture": {
                arch: {
                    "url": f"{settings['releases_url']}/v$version/rowpatcher-$version-windows-{name}.zip",
                    "extract_dir": f"rowpatcher-$version-windows-{name}",
                }
                for arch, (_, name) in WINDOWS.items()
            },
            "hash": {"url": "$baseurl/SHA256SUMS"},
        },
    }
    write("rowpatcher.json", json.dumps(scoop, indent=4) + "\n")

    release_date = time.strftime("%Y-%m-%d", time.gmtime(int(os.environ["SOURCE_DATE_EPOCH"])))
    common = {"PackageIdentifier": WINGET_ID, "PackageVersion": version}
    winget = {
        "version": {**common, "DefaultLocale": "en-US"},
        "defaultLocale": {
            **common,
            "PackageLocale": "en-US",
            "Publisher": settings["publisher"],
            "PackageName": "rowpatcher",
            "PackageUrl": homepage,
            "License": settings["license"],
            "ShortDescription": short,
            "Description": description,
            "Moniker": "rowpatcher",
            "Tags": ["catalogue", "cli", "converter", "fixed-width", "seismology"],
        },
        "installer": {
            **common,
            "InstallerType": "zip",
            "NestedInstallerType": "portable",
            "ReleaseDate": release_date,
            "Installers": [
                {
                    "Architecture": architecture,
                    "NestedInstallerFiles": [
                        {"RelativeFilePath": f"{zips[arch]}\\rowpatcher.exe", "PortableCommandAlias": "rowpatcher"}
                    ],
                    "InstallerUrl": f"{base}/{zips[arch]}.zip",
                    "InstallerSha256": hashes[f"{zips[arch]}.zip"].upper(),
                }
                for arch, (architecture, _) in WINDOWS.items()
            ],
        },
    }
    for name, kind in WINGET_FILES.items():
        manifest = {**winget[kind], "ManifestType": kind, "ManifestVersion": WINGET_VERSION}
        header = f"# yaml-language-server: $schema=https://aka.ms/winget-manifest.{kind}.{WINGET_VERSION}.schema.json\n"
        write(name, header + dump(manifest))

    recipe = {
        "context": {"version": version},
        "package": {"name": "rowpatcher", "version": "${{ version }}"},
        "source": {"url": f"{settings['releases_url']}/v${{{{ version }}}}/rowpatcher-${{{{ version }}}}.tar.gz",
                   "sha256": hashes[tarball]},
        "build": {
            "number": 0,
            # Not built with MSVC, which conda-forge builds Windows packages with, yet.
            "skip": ["win"],
            "script": [
                "cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DROWPATCHER_PROGRAM_ONLY=ON "
                '-DCMAKE_INSTALL_PREFIX="$PREFIX" $CMAKE_ARGS',
                "cmake --build build",
                "cmake --install build",
            ],
        },
        "requirements": {"build": ["${{ compiler('c') }}", "${{ compiler('cxx') }}", "cmake", "make"]},
        "tests": [
            {
                "script": [
                    "printf 'Heading\\n2024/04/01 0347 51.02  17.604S 178.021W      mb 4.6  Fiji Islands region\\n' > catalogue.txt",
                    'test "$(rowpatcher catalogue.txt)" = "2024/04/01_0347 51.02 -17.604 -178.021   33 mb  4.6  Fiji Islands region"',
                    "status=0; rowpatcher missing.txt 2> err.txt || status=$?; test $status -eq 1",
                    'test "$(cat err.txt)" = "rowpatcher: cannot open input file missing.txt.  Abort."',
                ]
            }
        ],
        "about": {
            "homepage": homepage,
            "license": settings["license"],
            "license_file": "LICENSE",
            "summary": short,
            "description": description,
        },
    }
    write("recipe.yaml", dump(recipe))


def unknown_keys(instance, schema, root, where=""):
    """Keys of INSTANCE that SCHEMA's properties do not name, at every level
    the schema describes."""
    while isinstance(schema, dict) and "$ref" in schema:
        target = root
        for part in schema["$ref"].lstrip("#/").split("/"):
            target = target[part]
        schema = target
    found = []
    if isinstance(instance, dict) and isinstance(schema, dict) and "properties" in schema:
        for key, value in instance.items():
            if key not in schema["properties"]:
                found.append(f"{where}/{key}")
            else:
                found += unknown_keys(value, schema["properties"][key], root, f"{where}/{key}")
    elif isinstance(instance, list) and isinstance(schema, dict) and "items" in schema:
        for index, item in enumerate(instance):
            found += unknown_keys(item, schema["items"], root, f"{where}/{index}")
    return found


def file_hash(dist, url):
    with open(os.path.join(dist, url.rsplit("/", 1)[1]), "rb") as file:
        return hashlib.sha256(file.read()).hexdigest()


def check(schemas, dist):
    import jsonschema

    problems = []

    def validate(name, manifest, schema_file, validator):
        with open(os.path.join(schemas, schema_file), encoding="utf-8") as file:
            schema = json.load(file)
        for error in validator(schema).iter_errors(manifest):
            error = jsonschema.exceptions.best_match([error])  # within anyOf, the likeliest cause
            problems.append(f"{name}: /{'/'.join(map(str, error.absolute_path))}: {error.message[:300]}")
        return schema

    def same_hash(name, url, digest):
        if not url or not digest:
            problems.append(f"{name}: no file or no hash named")
        elif file_hash(dist, url) != digest.lower():
            problems.append(f"{name}: the hash of {url} is not that of the file")

    with open(os.path.join(dist, "rowpatcher.json"), encoding="utf-8") as file:
        scoop = json.load(file)
    validate("rowpatcher.json", scoop, "scoop/schema.json", jsonschema.Draft7Validator)
    for arch, entry in scoop["architecture"].items():
        same_hash(f"rowpatcher.json ({arch})", entry.get("url"), entry.get("hash"))

    for name, kind in WINGET_FILES.items():
        manifest = load_yaml(os.path.join(dist, name))
        schema = validate(name, manifest, f"winget/manifest.{kind}.{WINGET_VERSION}.json", jsonschema.Draft7Validator)
        problems += [f"{name}: {key} is no key of the schema" for key in unknown_keys(manifest, schema, schema)]
        for installer in manifest.get("Installers", []):
            same_hash(f"{name} ({installer.get('Architecture')})", installer.get("InstallerUrl"),
                      installer.get("InstallerSha256"))

    recipe = load_yaml(os.path.join(dist, "recipe.yaml"))
    validate("recipe.yaml", recipe, "conda/recipe-v1.schema.json", jsonschema.Draft202012Validator)
    url = recipe["source"]["url"].replace("${{ version }}", str(recipe["context"]["version"]))
    same_hash("recipe.yaml", url, recipe["source"]["sha256"])

    with open(os.path.join(dist, "rowpatcher.rb"), encoding="utf-8") as file:
        formula = file.read()
    url, digest = re.search(r'^\s*url "([^"]+)"\s*\n\s*sha256 "([0-9a-f]{64})"', formula, re.MULTILINE).groups()
    same_hash("rowpatcher.rb", url, digest)

    for problem in problems:
        print(problem)
    return 1 if problems else 0


def windows(dist):
    with open(os.path.join(dist, "rowpatcher.json"), encoding="utf-8") as file:
        scoop = json.load(file)
    for arch, entry in scoop["architecture"].items():
        print("rowpatcher.json", entry["url"].rsplit("/", 1)[1], f"{entry['extract_dir']}/{scoop['bin']}")
    installer = load_yaml(os.path.join(dist, f"{WINGET_ID}.installer.yaml"))
    for entry in installer["Installers"]:
        for nested in entry["NestedInstallerFiles"]:
            path = nested["RelativeFilePath"].replace("\\", "/")
            print(f"{WINGET_ID}.installer.yaml", entry["InstallerUrl"].rsplit("/", 1)[1], path)


def ruby_string(text, bin_dir):
    text = text.replace("#{bin}", bin_dir)
    return re.sub(r'\\(.)', lambda m: {"n": "\n", "t": "\t"}.get(m[1], m[1]), text)


def homebrew_test(formula_path, bin_dir):
    """The formula's test block, as Homebrew runs it: in a new folder, each
    shell_output through sh, its status checked, its output compared."""
    with open(formula_path, encoding="utf-8") as file:
        block = re.search(r"^  test do\n(.*?)^  end\n", file.read(), re.MULTILINE | re.DOTALL)[1]
    string = r'"((?:[^"\\]|\\.)*)"'
    steps = 0
    with tempfile.TemporaryDirectory() as testpath:
        for name, text in re.findall(r'\(testpath/' + string + r'\)\.write ' + string, block):
            with open(os.path.join(testpath, ruby_string(name, bin_dir)), "w", encoding="utf-8") as file:
                file.write(ruby_string(text, bin_dir))
            steps += 1
        for expected, command, status in re.findall(
            r"assert_equal " + string + r",\s*shell_output\(" + string + r"(?:, (\d+))?\)", block
        ):
            run = subprocess.run(ruby_string(command, bin_dir), shell=True, cwd=testpath, capture_output=True, text=True)
            if run.returncode != int(status or 0) or run.stdout != ruby_string(expected, bin_dir):
                print(f"rowpatcher.rb's test: {command} gave status {run.returncode} and {run.stdout!r}")
                return 1
            steps += 1
    if steps < 3:
        print("rowpatcher.rb's test block was not understood")
        return 1
    return 0


def homebrew_install(formula_path, prefix, top_level_include):
    """The formula's install block as shell commands, std_cmake_args as
    Homebrew gives them on Linux (TOP_LEVEL_INCLUDE stands for the file with
    which brew makes any FetchContent fatal)."""
    std_cmake_args = [
        f"-DCMAKE_INSTALL_PREFIX={prefix}", "-DCMAKE_INSTALL_LIBDIR=lib", "-DCMAKE_BUILD_TYPE=Release",
        "-DCMAKE_FIND_FRAMEWORK=LAST", "-DCMAKE_VERBOSE_MAKEFILE=ON",
        f"-DCMAKE_PROJECT_TOP_LEVEL_INCLUDES={top_level_include}", "-Wno-dev", "-DBUILD_TESTING=OFF",
    ]
    with open(formula_path, encoding="utf-8") as file:
        block = re.search(r"^  def install\n(.*?)^  end\n", file.read(), re.MULTILINE | re.DOTALL)[1]
    for call in re.findall(r"^\s*system (.*)$", block, re.MULTILINE):
        words = []
        for word in (word.strip() for word in call.split(",")):
            words += std_cmake_args if word == "*std_cmake_args" else [shlex.quote(word.strip('"'))]
        print(" ".join(words))


def conda_script(part, recipe_path):
    recipe = load_yaml(recipe_path)
    lines = recipe["build"]["script"] if part == "build" else recipe["tests"][0]["script"]
    print("\n".join(lines))


if __name__ == "__main__":
    command, *arguments = sys.argv[1:] or [""]
    actions = {"make": make, "check": check, "windows": windows, "homebrew-install": homebrew_install,
               "homebrew-test": homebrew_test, "conda-script": conda_script}
    if command not in actions:
        sys.exit(__doc__)
    sys.exit(actions[command](*arguments) or 0)
