"""A Wine prefix for black-box runs of ZRACleanupUtility.exe.

Each prefix is a clone of the build's template prefix with its own
wineserver kept alive while it is used. The Z: drive is removed, so programs
in the prefix see only drive C:; the profile's shell folders are plain
folders. The tool and the test launcher are copied to C:\\zra.
"""
import os
import shutil
import subprocess
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

WINE64 = "/usr/lib/wine/wine64"
TOOLS = Path(os.environ.get("ZRA_TOOLS", Path(__file__).resolve().parents[2] / "tools"))
WINE_ROOT = Path(os.environ.get("ZRA_WINE_ROOT", ""))
EXE = Path(os.environ.get("ZRA_EXE", ""))
LAUNCH = Path(os.environ.get("ZRA_LAUNCH", ""))

TOOL_FOLDER = "C:\\zra"
TOOL_PATH = TOOL_FOLDER + "\\ZRACleanupUtility.exe"
OFFLINE_VERSION_URL = "http://127.0.0.1:1/zcu/ZCUVersion.txt"
OFFLINE_UPLOAD_URL = "http://127.0.0.1:1/feeds/api"


@dataclass
class RunResult:
    exit_code: int
    stdout: bytes
    stderr: bytes

    @property
    def text(self) -> str:
        """Console output as text with Windows line ends folded."""
        return self.stdout.decode("cp1252", "replace").replace("\r\n", "\n")


class WinePrefix:
    def __init__(self, path: Path, user: str = "root"):
        self.path = Path(path)
        self.user = user
        self.temp_override = None
        self.env = dict(os.environ)
        self.env.update(
            WINEPREFIX=str(self.path),
            WINEDEBUG="-all",
            LC_ALL="C.UTF-8",
            WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d",
        )
        for name in ("DISPLAY", "WAYLAND_DISPLAY"):
            self.env.pop(name, None)
        # Under qemu-i386 emulation every Wine process loads the trap-number
        # fix (tools/setup-emulation.sh, tools/wine-env.sh).
        trapfix = TOOLS.parent / "build" / "emu" / "lib" / "i386-linux-gnu" / "libzra-trapfix.so"
        preload = self.env.get("LD_PRELOAD", "")
        if trapfix.exists() and "libzra-trapfix.so" not in preload:
            entry = str(TOOLS.parent / "build" / "emu" / "$LIB" / "libzra-trapfix.so")
            self.env["LD_PRELOAD"] = entry + (":" + preload if preload else "")
        # The tool asks the web for its latest version at every start: unless
        # a test says otherwise, point it at a closed loopback port.
        self.env.setdefault("ZRA_ENV_ZRA_VERSION_URL", OFFLINE_VERSION_URL)
        # The same for the upload of the logs at the end of a completed run.
        self.env.setdefault("ZRA_ENV_ZRA_UPLOAD_BASE_URL", OFFLINE_UPLOAD_URL)

    # -- life cycle -------------------------------------------------------
    @classmethod
    def create(cls, path: Path) -> "WinePrefix":
        subprocess.run([str(TOOLS / "wine-prefix.sh"), "template", str(WINE_ROOT / "template")], check=True)
        subprocess.run([str(TOOLS / "wine-prefix.sh"), "clone", str(WINE_ROOT / "template"), str(path)], check=True)
        subprocess.run([str(TOOLS / "wine-prefix.sh"), "seal", str(path)], check=True)
        prefix = cls(path)
        tools = prefix.unix_path(TOOL_FOLDER)
        tools.mkdir(parents=True, exist_ok=True)
        shutil.copy2(EXE, tools / "ZRACleanupUtility.exe")
        shutil.copy2(LAUNCH, tools / "zra-launch.exe")
        for helper in ("zra-mutex-holder.exe", "zra-runonce.exe", "zra-cycle.exe", "zra-sleeper.exe",
                       "zra-test-service.exe", "zra-file-holder.exe", "zra-hive.exe", "zra-meta-installer.exe"):
            if (LAUNCH.parent / helper).exists():
                shutil.copy2(LAUNCH.parent / helper, tools / helper)
        subprocess.run([str(TOOLS / "wine-prefix.sh"), "start", str(path)], check=True)
        return prefix

    def close(self):
        subprocess.run([str(TOOLS / "wine-prefix.sh"), "stop", str(self.path)], check=False)

    # -- paths ------------------------------------------------------------
    def unix_path(self, windows_path: str) -> Path:
        """The Linux path of a C: path inside the prefix."""
        assert windows_path[:2].upper() == "C:", windows_path
        rest = windows_path[2:].replace("\\", "/").lstrip("/")
        return self.path / "drive_c" / rest

    @property
    def temp_folder(self) -> str:
        if self.temp_override:
            return self.temp_override
        return f"C:\\users\\{self.user}\\Temp"

    def use_temp_folder(self, windows_path: str):
        """Gives the programs run from now on their own temp folder, so that
        tests sharing a prefix do not share log folders."""
        self.unix_path(windows_path).mkdir(parents=True, exist_ok=True)
        self.temp_override = windows_path
        self.env.update(ZRA_ENV_TMP=windows_path, ZRA_ENV_TEMP=windows_path)

    @property
    def log_folder(self) -> Path:
        """The default log folder: the temp folder + halvora\\ZraCleanup."""
        return self.unix_path(self.temp_folder + "\\halvora\\ZraCleanup")

    # -- running ----------------------------------------------------------
    def wine(self, *args, input=None, timeout=120, env=None):
        run_env = dict(self.env)
        for name, value in (env or {}).items():
            run_env["ZRA_ENV_" + name] = value
        # The output goes to files, not pipes: a Wine process started on the
        # way (the desktop process, a service) inherits the handles and
        # outlives the program, and would hold a pipe open.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            proc = subprocess.run([WINE64, *args], input=input, stdout=out, stderr=err, timeout=timeout,
                                  cwd=self.path / "drive_c", env=run_env)
            out.seek(0)
            err.seek(0)
            return subprocess.CompletedProcess(proc.args, proc.returncode, out.read(), err.read())

    def run(self, *args, input: bytes = b"", timeout: int = 120, env=None,
            program: str = TOOL_PATH) -> RunResult:
        """Runs the tool (or another program) with the arguments; returns its
        exact exit code and console output."""
        # Under heavy load Wine occasionally fails to create the process at
        # all ("cannot start"): the program never ran, so starting it again
        # hides nothing. Any other missing exit code is a failure.
        for attempt in range(3):
            code_file = f"{TOOL_FOLDER}\\exitcode-{time.monotonic_ns()}.txt"
            proc = self.wine(f"{TOOL_FOLDER}\\zra-launch.exe", code_file, program, *args,
                             input=input, timeout=timeout, env=env)
            code_path = self.unix_path(code_file)
            if code_path.exists() or b"zra-launch: cannot start" not in proc.stderr:
                break
            time.sleep(1)
        if not code_path.exists():
            raise AssertionError(f"launcher did not report an exit code: {proc.stderr!r}")
        code = int(code_path.read_text().strip())
        code_path.unlink()
        return RunResult(code, proc.stdout, proc.stderr)

    # -- registry ---------------------------------------------------------
    def reg(self, *args, view64=True):
        extra = ["/reg:64"] if view64 else ["/reg:32"]
        return self.wine("reg", *args, *extra)

    def reg_query_value(self, key: str, name: str, view64=True):
        """The data of a registry value as reg.exe prints it, or None."""
        proc = self.reg("query", key, "/v", name, view64=view64)
        if proc.returncode != 0:
            return None
        for line in proc.stdout.decode("cp1252", "replace").splitlines():
            parts = line.strip().split(None, 2)
            if len(parts) >= 2 and parts[0].lower() == name.lower() and parts[1].startswith("REG_"):
                return parts[2] if len(parts) > 2 else ""
        return None
