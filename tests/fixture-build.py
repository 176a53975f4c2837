"""The fixture project's build script (tools\\build.py in the fixture repository).

With --iso it "extracts" the disc: from a folder holding default.xex, or from an image file of
this fixture's own format (a first line IRONVALE-DISC, then the game). It prints phase, step and
percent lines, writes the launcher (tools/launcher.bin, a helper that leaves a marker when
started) to build/runtime and some leftovers under build and generated/ppc. A file build.fail
in the working tree makes it fail; build.slow makes each step take a second and starts a
grandchild that waits (as a compiler under ninja would) until it is ended.
"""
import os
import shutil
import subprocess
import sys
import time

here = os.path.dirname(os.path.abspath(__file__))
args = sys.argv[1:]
if "--grandchild" in args:
    time.sleep(600)
    sys.exit(0)
if os.path.exists("build.slow"):
    subprocess.Popen([sys.executable, os.path.abspath(__file__), "--grandchild"],
                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
iso = args[args.index("--iso") + 1] if "--iso" in args else None

if os.path.exists("build.fail"):
    print("error: this build was asked to fail")
    sys.exit(2)
if iso:
    print("==> Extracting the disc", flush=True)
    os.makedirs(os.path.join("game", "extracted"), exist_ok=True)
    target = os.path.join("game", "extracted", "default.xex")
    if os.path.isdir(iso):
        shutil.copy(os.path.join(iso, "default.xex"), target)
    else:
        with open(iso, "rb") as f:
            data = f.read()
        if not data.startswith(b"IRONVALE-DISC\n"):
            print("error: not an Ironvale disc image: " + iso)
            sys.exit(3)
        with open(target, "wb") as f:
            f.write(data[len(b"IRONVALE-DISC\n"):])
    for percent in (25, 50, 100):
        print("  %d%% extracting" % percent, flush=True)
print("==> Compiling", flush=True)
steps = 20
for i in range(1, steps + 1):
    print("[%d/%d] Compiling recomp_%d.cpp" % (i, steps, i), flush=True)
    if os.path.exists("build.slow"):
        time.sleep(1)
for folder in (os.path.join("build", "runtime"), os.path.join("build", "obj"),
               os.path.join("generated", "ppc")):
    os.makedirs(folder, exist_ok=True)
shutil.copy(os.path.join(here, "launcher.bin"), os.path.join("build", "runtime", "IronvaleLauncher.exe"))
for name in ("recomp.obj", "recomp.lib", "stdafx.pch"):
    with open(os.path.join("build", "obj", name), "wb") as f:
        f.write(b"x" * 4096)
with open(os.path.join("generated", "ppc", "recomp_1.cpp"), "w") as f:
    f.write("// generated\n")
print("==> Done", flush=True)
