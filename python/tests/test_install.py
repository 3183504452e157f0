"""The package as users get it: an interpreter that ends with the controller still open, and the
wheel installed into a fresh virtual environment."""

import os
import subprocess
import sys
import textwrap

from conftest import ROOT

SCRIPT = textwrap.dedent("""
    import sys, kvarolib
    kq = kvarolib.open()
    ta = kq.transfer()
    kq.subscribe(lambda event: None)
    ta.wait_for_change(10)
    print("running", kvarolib._lib.library()._name, flush=True)
    sys.exit(int(sys.argv[1]))
""")


def _run(python, sim, code, env):
    return subprocess.run([python, "-c", SCRIPT, str(code)], env=env, capture_output=True, text=True,
                          timeout=120)


def test_exit_with_the_controller_open(sim):
    env = dict(os.environ, PYTHONPATH=str(ROOT / "python"))
    for code in (0, 3):
        done = _run(sys.executable, sim, code, env)
        assert done.returncode == code, done.stderr
        assert done.stdout.startswith("running"), done.stderr
        assert "Traceback" not in done.stderr
    # The controller is free again for the next process.
    assert _run(sys.executable, sim, 0, env).returncode == 0


def test_wheel_in_a_fresh_venv(sim, tmp_path):
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True, timeout=300)
    python = str(venv / "bin" / "python")
    wheel = os.environ.get("KVLIB_WHEEL")
    if not wheel:
        # Without a wheel from the CI step, the venv's pip builds one around the library of this build.
        env = dict(os.environ, KVLIB_PREBUILT=os.environ["KVLIB_LIBRARY"])
        subprocess.run([python, "-m", "pip", "wheel", "--no-deps", "--no-index", "-w", str(tmp_path),
                        str(ROOT / "python")], check=True, env=env, capture_output=True, timeout=600)
        wheel = str(next(tmp_path.glob("kvarolib-*.whl")))
    subprocess.run([python, "-m", "pip", "install", "--no-index", wheel], check=True, capture_output=True,
                   timeout=300)
    env = {k: v for k, v in os.environ.items() if k not in ("KVLIB_LIBRARY", "PYTHONPATH")}
    done = subprocess.run([python, "-c", SCRIPT, "0"], cwd=str(tmp_path), env=env, capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    # The library inside the installed package was the one loaded.
    assert str(venv) in done.stdout and "_native" in done.stdout, done.stdout
    ports = subprocess.run([python, "-m", "kvarolib", "ports"], cwd=str(tmp_path), env=env,
                           capture_output=True, text=True, timeout=60)
    assert "%s " % sim.port in ports.stdout and " USB " in ports.stdout, ports.stderr
