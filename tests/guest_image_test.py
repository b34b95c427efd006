#!/usr/bin/python3
"""tools/guest/guest.sh on its failure paths, in seconds: stand-ins for mmdebstrap, chroot, mount,
mkfs.ext4, debugfs and qemu first on PATH, and a private image cache. A failed step names
itself and leaves nothing cached but the lock; an incomplete cached image is made again,
never booted; a guest that never boots is stopped at its boot limit."""
import os
import subprocess
import tempfile
import textwrap
import threading
import time
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
GUEST = ROOT / "tools" / "guest" / "guest.sh"
REGISTRY_ERROR = ("E: Failed to fetch http://deb.debian.org/debian/dists/bookworm/main/"
                  "binary-i386/Packages.xz  File has unexpected size (374820 != 376004). "
                  "Mirror sync in progress?")

# Each stand-in appends its name to calls.log. STANDIN_MODE picks a failure.
STANDINS = {
    # setup.sh then finds every package installed.
    "dpkg-query": 'printf "install ok installed"',
    "mmdebstrap": textwrap.dedent(f"""\
        case "$STANDIN_MODE" in
          registry) echo "{REGISTRY_ERROR}" >&2; exit 1 ;;
          registry-once) [ -f "$STANDIN_DIR/failed-once" ] || {{
            touch "$STANDIN_DIR/failed-once"; echo "{REGISTRY_ERROR}" >&2; exit 1; }} ;;
          slow) sleep 1 ;;
        esac
        for a; do [ "$prev" = bookworm ] && root=$a; prev=$a; done
        mkdir -p "$root/proc" "$root/dev" "$root/boot" "$root/sbin" "$root/usr/lib/wine" \\
          "$root/usr/lib/i386-linux-gnu/wine/i386-windows" "$root/usr/share/wine/nls"
        echo kernel >"$root/boot/vmlinuz-6.1.0-99-amd64"
        [ "$STANDIN_MODE" = no-wine32 ] || echo elf32 >"$root/usr/lib/wine/wine"
        echo elf64 >"$root/usr/lib/wine/wine64"
        echo dll >"$root/usr/lib/i386-linux-gnu/wine/i386-windows/kernel32.dll"
        echo nls >"$root/usr/share/wine/nls/l_intl.nls"
        """),
    "chroot": textwrap.dedent("""\
        root=$1
        case "$*" in
          *wineboot*) [ "$STANDIN_MODE" = prefix ] && { echo "wine: could not load ntdll.so" >&2; exit 1; }
            mkdir -p "$root/root/wineprefix/drive_c/windows/syswow64" ;;
          *mkinitramfs*) echo initrd >"$root/boot/guest-initrd.img" ;;
        esac
        """),
    "mount": "",
    "umount": "",
    "mkfs.ext4": textwrap.dedent("""\
        [ "$STANDIN_MODE" = mkfs ] && { echo "mkfs.ext4: No space left on device" >&2; exit 1; }
        for a; do [ "$prev" = -d ] && tree=$a; prev=$a; done
        image=${@: -2:1}
        (cd "$tree" && find . -type f | sed 's/^\\.//') >"$image"
        """),
    # "stat PATH IMAGE": found when the listing that mkfs.ext4 wrote has PATH.
    "debugfs": textwrap.dedent("""\
        path=${2#stat }
        if grep -qx "$path" "$3"; then echo "Inode: 12   Type: regular"; else
          echo "$path: File not found by ext2_lookup"; fi
        """),
    "qemu-system-x86_64": textwrap.dedent("""\
        for a; do
          case "$prev" in -kernel) echo "$a" >>"$STANDIN_DIR/kernels.log" ;; esac
          case "$a" in local,path=*,mount_tag=io,*) io=${a#local,path=}; io=${io%%,*} ;; esac
          prev=$a
        done
        if [ "$STANDIN_MODE" = hang ]; then echo $$ >"$STANDIN_DIR/qemu.pid"; exec sleep 600; fi
        echo booted >"$io/booted"
        echo "the stand-in guest ran the command" >>"$io/output"
        echo 0 >"$io/status"
        """),
}


class GuestImage(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.TemporaryDirectory()
        self.dir = Path(self.work.name)
        self.cache = self.dir / "cache"
        bin_dir = self.dir / "bin"
        bin_dir.mkdir()
        for name, body in STANDINS.items():
            path = bin_dir / name
            path.write_text(f'#!/bin/bash\necho {name} >>"$STANDIN_DIR/calls.log"\n{body}\n')
            path.chmod(0o755)
        self.env = dict(os.environ, PATH=f"{bin_dir}:{os.environ['PATH']}",
                        PELAGIO_GUEST_CACHE=str(self.cache), STANDIN_DIR=str(self.dir),
                        PELAGIO_GUEST_RETRY_PAUSES="0", STANDIN_MODE="")

    def tearDown(self):
        self.work.cleanup()

    def guest(self, *arguments, mode=""):
        env = dict(self.env, STANDIN_MODE=mode)
        return subprocess.run(["bash", str(GUEST), *arguments], env=env, capture_output=True,
                              text=True, timeout=60)

    def calls(self, name):
        log = self.dir / "calls.log"
        return log.read_text().split().count(name) if log.exists() else 0

    def cached(self):
        return sorted(p.name for p in self.cache.iterdir())

    def make_image(self):
        result = self.guest("image")
        self.assertEqual(result.returncode, 0, result.stderr)
        return Path(result.stdout.strip().splitlines()[-1])

    def test_a_failed_step_names_itself_and_caches_nothing(self):
        # mode, the step named, a line of the tool's own output, the tools that must not run
        cases = [
            ("registry", "making the root with mmdebstrap", "unexpected size", ["chroot", "mkfs.ext4"]),
            ("prefix", "making the Wine prefix", "could not load ntdll.so", ["mkfs.ext4"]),
            ("no-wine32", "checking the root", "lacks /usr/lib/wine/wine", ["mkfs.ext4"]),
            ("mkfs", "writing the ext4 root", "No space left on device", []),
        ]
        for mode, step, tool_line, not_run in cases:
            with self.subTest(mode=mode):
                (self.dir / "calls.log").unlink(missing_ok=True)
                for attempt in (1, 2):  # the second run tries again, it boots nothing
                    result = self.guest("run", "true", mode=mode)
                    self.assertNotEqual(result.returncode, 0, result.stderr)
                    self.assertIn(f"guest: FAILED: {step}", result.stderr)
                    self.assertIn(tool_line, result.stderr)
                    self.assertNotIn("image ready", result.stderr)
                    self.assertEqual(self.cached(), [".lock"], result.stderr)
                    for tool in not_run:
                        self.assertEqual(self.calls(tool), 0, f"{tool} ran after the failure")
                    self.assertEqual(self.calls("qemu-system-x86_64"), 0)
                # Two runs of two attempts each: the registry is asked again on every run.
                want = 4 if mode == "registry" else 2
                self.assertEqual(self.calls("mmdebstrap"), want)

    def test_registry_failure_is_retried_then_the_image_boots(self):
        result = self.guest("run", "true", mode="registry-once")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("the package registry failed (attempt 1 of 2)", result.stderr)
        self.assertEqual(self.calls("mmdebstrap"), 2)
        self.assertIn("the stand-in guest ran the command", result.stdout)
        self.assertIn("guest: finished with status 0", result.stdout)

    def test_an_incomplete_cached_image_is_made_again_not_booted(self):
        for part in ("vmlinuz", "complete", "root.ext4"):
            with self.subTest(missing=part):
                image = self.make_image()
                (image / part).unlink()
                (self.dir / "kernels.log").unlink(missing_ok=True)
                before = self.calls("mmdebstrap")
                result = self.guest("run", "true")
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertIn(f"is incomplete (missing {part})", result.stderr)
                self.assertEqual(self.calls("mmdebstrap"), before + 1)
                self.assertTrue((image / part).exists(), f"{part} was not made again")
                booted = (self.dir / "kernels.log").read_text().split()
                self.assertEqual(booted, [str(image / "vmlinuz")])

    def test_two_runs_at_once_make_one_image(self):
        results = []
        threads = [threading.Thread(target=lambda: results.append(self.guest("image", mode="slow")))
                   for _ in range(2)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        self.assertEqual([r.returncode for r in results], [0, 0], [r.stderr for r in results])
        self.assertEqual(self.calls("mmdebstrap"), 1)
        self.assertEqual(results[0].stdout, results[1].stdout)

    def test_a_guest_that_never_boots_is_stopped_at_its_boot_limit(self):
        self.make_image()
        start = time.monotonic()
        result = self.guest("run", "--boot-timeout", "2", "true", mode="hang")
        elapsed = time.monotonic() - start
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        self.assertIn("did not boot within 2 s", result.stdout)
        self.assertLess(elapsed, 20, "the boot limit was not kept")
        pid = int((self.dir / "qemu.pid").read_text())
        time.sleep(0.5)
        self.assertFalse(Path(f"/proc/{pid}").exists(), "the stand-in emulator still runs")


if __name__ == "__main__":
    unittest.main()
