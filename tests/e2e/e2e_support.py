"""Helpers of the end-to-end tests: the sample magazine server as a child process, runs of a private copy
of the Skerrow executable, snapshots of saved trees and the entries of errors.txt."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SAMPLE_DIR = os.path.join(ROOT, "tools", "sample-magazine")
sys.path.insert(0, SAMPLE_DIR)

import samples  # noqa: E402

SERVER_SCRIPT = os.path.join(SAMPLE_DIR, "sample_server.py")
H2_SERVER_SCRIPT = os.path.join(SAMPLE_DIR, "h2_server.py")
# The python3 for which Debian's python3-h2 is installed, whichever python3 runs the tests.
DEBIAN_PYTHON = "/usr/bin/python3"


def stop_process(process, timeout=10):
    """Ends a child process that may still run: SIGTERM, then SIGKILL when it has not ended within timeout
    seconds; waits for it either way."""
    if process.poll() is not None:
        return
    process.terminate()
    try:
        process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


CERTIFICATES = {}


def load_shard(tests):
    """The tests of this process when E2E_SHARD is "i/n": every n-th test from the i-th (0-based), so that n
    processes share a module's tests; all of them otherwise."""
    shard = os.environ.get("E2E_SHARD")
    if not shard:
        return tests

    def flat(suite):
        for test in suite:
            yield from flat(test) if isinstance(test, unittest.TestSuite) else [test]

    index, count = (int(part) for part in shard.split("/"))
    return unittest.TestSuite(test for number, test in enumerate(flat(tests)) if number % count == index)


def certificates():
    """(CA certificate, server certificate, server key) paths of a test CA made with openssl for the sample
    hosts, once per process, in a directory removed at exit."""
    if not CERTIFICATES:
        import atexit
        import sample_server
        directory = tempfile.mkdtemp(prefix="skerrow-ca-")
        atexit.register(shutil.rmtree, directory, True)
        CERTIFICATES["paths"] = sample_server.make_certificates(directory)
    return CERTIFICATES["paths"]


# The faults of h2_server.py by name: its arguments.
H2_FAULTS = {"h2-goaway": ["--goaway-after", "3"], "h2-reset": ["--reset-mid-body"]}


def http2_server_missing():
    """Why h2_server.py cannot run here, or None when it can."""
    if subprocess.run([DEBIAN_PYTHON, "-c", "import h2"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                      check=False).returncode != 0:
        return DEBIAN_PYTHON + " has no h2 module (python3-h2)"
    return None


class SampleServer:
    """The sample magazine server on 127.0.0.1, started for a with-block and stopped after it; with tls, it
    also serves https through CONNECT tunnels, with a certificate of the test CA (certificates()). With http2,
    h2_server.py instead, which speaks only HTTP/2 in its tunnels and whose pages link to https (faults: those
    of H2_FAULTS)."""

    def __init__(self, work_dir, faults=(), large=False, lifetime=300, tls=False, http2=False):
        descriptor, self.log_path = tempfile.mkstemp(prefix="server-", suffix=".log", dir=work_dir)
        os.close(descriptor)
        if http2:
            _, cert, key = certificates()
            self.args = [DEBIAN_PYTHON, H2_SERVER_SCRIPT, "--cert", cert, "--key", key, "--http2-only",
                         "--https-links", "--log", self.log_path]
            self.args += [arg for fault in faults for arg in H2_FAULTS[fault]]
            self.process = None
            self.port = None
            return
        args = [sys.executable, SERVER_SCRIPT, "--log", self.log_path, "--lifetime", str(lifetime)]
        if large:
            args.append("--large")
        if tls:
            _, cert, key = certificates()
            args += ["--tls-cert", cert, "--tls-key", key]
        for fault in faults:
            args += ["--fault", fault]
        self.args = args
        self.process = None
        self.port = None

    def __enter__(self):
        self.process = subprocess.Popen(self.args, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True)
        line = self.process.stdout.readline()  # the server prints its port once it accepts connections
        if not line.startswith("PORT "):
            self.process.kill()
            self.process.wait()
            raise RuntimeError("the sample magazine server did not start: %r" % line)
        self.port = int(line.split()[1])
        return self

    def __exit__(self, *exc):
        stop_process(self.process)
        self.process.stdout.close()

    @property
    def proxy(self):
        return "http://127.0.0.1:%d" % self.port

    def requests(self, accepted_encodings=False):
        """(status, bytes sent, URL) of every request so far, in order of the replies; with
        accepted_encodings, (status, bytes sent, the request's Accept-Encoding or "-", URL)."""
        if not os.path.exists(self.log_path):
            return []
        result = []
        with open(self.log_path, encoding="utf-8") as log:
            for line in log:
                _, status, sent, accepted, url = line.split(" ", 4)
                request = (int(status), int(sent), url.rstrip("\n"))
                result.append(request[:2] + (accepted,) + request[2:] if accepted_encodings else request)
        return result

    def wait_for_stall(self):
        """Waits until a reply of a stalling fault has fallen silent; returns its URL."""
        line = self.process.stdout.readline()
        if not line.startswith("STALL "):
            raise RuntimeError("the sample magazine server said %r instead of STALL" % line)
        return line[len("STALL "):].rstrip("\n")


class RunResult:
    @staticmethod
    def of_process(process, errors_path, timeout=240):
        """Waits for a process started by SkerrowCopy.start and returns its result."""
        stdout, stderr = process.communicate(timeout=timeout)
        result = RunResult(subprocess.CompletedProcess(process.args, process.returncode, stdout, stderr), errors_path)
        result.pid = process.pid
        return result

    def __init__(self, completed, errors_path):
        self.exit_status = completed.returncode
        self.stdout = completed.stdout.decode("utf-8", "replace")
        self.stderr = completed.stderr.decode("utf-8", "replace")
        self.errors_path = errors_path
        self.pid = None  # of a process started by SkerrowCopy.start

    def errors_text(self):
        """errors.txt beside the executable, decoded from windows-1251; None when it does not exist."""
        if not os.path.exists(self.errors_path):
            return None
        with open(self.errors_path, "rb") as f:
            return f.read().decode("cp1251")

    def error_entries(self):
        return parse_error_entries(self.errors_text() or "")

    def console_lines(self, prefix):
        """The rest of every console line that begins with prefix, in order."""
        return [line[len(prefix):] for line in self.stdout.splitlines() if line.startswith(prefix)]

    def downloads(self):
        return self.console_lines("Download: ")

    def processed(self):
        return self.console_lines("Processing: ")


class SkerrowCopy:
    """A private copy of the Skerrow executable in its own temporary directory: errors.txt is written
    beside the executable, and other tests run their own copies at the same time."""

    def __init__(self, executable, work_dir):
        self.dir = os.path.join(work_dir, "bin")
        os.makedirs(self.dir, exist_ok=True)
        self.path = os.path.join(self.dir, "Skerrow")
        shutil.copy2(executable, self.path)
        self.errors_path = os.path.join(self.dir, "errors.txt")

    def environment(self, proxy, env):
        result = {k: v for k, v in os.environ.items() if k.lower() not in ("http_proxy", "https_proxy", "no_proxy",
                                                                           "all_proxy", "ssl_cert_file",
                                                                           "curl_ca_bundle")}
        result["LC_ALL"] = "C.UTF-8"  # the console then shows Russian text in UTF-8
        if proxy:
            result["http_proxy"] = proxy
            result["https_proxy"] = proxy
        result.update(env or {})
        return result

    def run(self, args, proxy=None, timeout=240, env=None):
        """Runs the copy to its end; env adds or replaces environment variables."""
        completed = subprocess.run([self.path] + list(args), cwd=self.dir, env=self.environment(proxy, env),
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   timeout=timeout)
        return RunResult(completed, self.errors_path)

    def start(self, args, proxy=None, env=None):
        """Starts the copy and returns its subprocess.Popen; finish it with RunResult.of_process."""
        return subprocess.Popen([self.path] + list(args), cwd=self.dir, env=self.environment(proxy, env),
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)


ENTRY_START = re.compile(r"^(\S+) (?:BrintLib::TAplThrowException \S+, \d+:\n\t|std::exception: )", re.M)


def parse_error_entries(text):
    """The entries of an error log as (URL, message) pairs: the message of an application failure is the
    text after the tab, without the entry's closing empty line."""
    starts = list(ENTRY_START.finditer(text))
    entries = []
    for number, match in enumerate(starts):
        end = starts[number + 1].start() if number + 1 < len(starts) else len(text)
        message = text[match.end():end]
        if message.endswith("\n\n"):
            message = message[:-2]
        elif message.endswith("\n"):
            message = message[:-1]
        entries.append((match.group(1), message))
    if starts and starts[0].start() != 0:
        entries.insert(0, (None, text[:starts[0].start()]))
    elif not starts and text:
        entries.append((None, text))
    return entries


def snapshot(directory):
    """Every file and directory below directory: relative path -> (bytes or None for a directory,
    modification time in ns, inode)."""
    result = {}
    for parent, dirs, files in os.walk(directory):
        for name in dirs + files:
            path = os.path.join(parent, name)
            info = os.lstat(path)
            relative = os.path.relpath(path, directory)
            if name in files:
                with open(path, "rb") as f:
                    result[relative] = (f.read(), info.st_mtime_ns, info.st_ino)
            else:
                result[relative] = (None, info.st_mtime_ns, info.st_ino)
    return result


FOOTER_TIME = re.compile(rb"[A-Z][a-z]{2} [A-Z][a-z]{2} \d\d \d\d:\d\d:\d\d \d{4}")


def contents(directory):
    """Every file and directory below directory: relative path -> bytes (None for a directory), with the
    time of the run in saved pages' footers blanked, so that trees saved at different times compare."""
    result = {}
    for path, (body, _, _) in snapshot(directory).items():
        if body is not None and path.endswith(".htm"):
            body = FOOTER_TIME.sub(b"<time>", body)
        result[path] = body
    return result


def expected_files(issue, magazine):
    """Relative path (below the save path) -> expected bytes of every picture of the issue, and the set
    of its page files and directories."""
    pictures = {}
    pages = set()
    dirs = {issue.issue_name}
    for page in issue.pages():
        pages.add(issue.issue_name + "/" + page.file_name)
        dirs.add(issue.issue_name + "/" + page.page_name)
        for name, url in page.picture_files():
            pictures[issue.issue_name + "/" + name] = magazine.resources[url].body
    return pictures, pages, dirs


def make_temp_dir(prefix):
    return tempfile.mkdtemp(prefix=prefix)


EPUBCHECK_JAR = "/usr/share/java/epubcheck.jar"


def epubcheck_command():
    """The command that runs epubcheck (Debian's package: a jar, run through java where the system does not
    run jars itself); None when it is not installed."""
    if shutil.which("java") and os.path.exists(EPUBCHECK_JAR):
        return ["java", "-jar", EPUBCHECK_JAR]
    return None


def epubcheck(path):
    """epubcheck's report on the book at path: (fatals, errors, warnings) and its whole output."""
    completed = subprocess.run(epubcheck_command() + [path], capture_output=True, text=True, timeout=300)
    output = completed.stdout + completed.stderr
    match = re.search(r"Messages: (\d+) fatals? / (\d+) errors? / (\d+) warnings?", output)
    counts = tuple(int(n) for n in match.groups()) if match else None
    return counts, output


class Book:
    """A book Skerrow wrote, read with the zip module: its entries, its package document's metadata, manifest
    and spine, and the titles of its navigation document."""

    OPF = "{http://www.idpf.org/2007/opf}"
    DC = "{http://purl.org/dc/elements/1.1/}"
    XHTML = "{http://www.w3.org/1999/xhtml}"

    def __init__(self, path):
        import xml.etree.ElementTree as ET
        import zipfile
        with zipfile.ZipFile(path) as archive:
            self.infos = archive.infolist()
            self.files = {info.filename: archive.read(info.filename) for info in self.infos}
        package = ET.fromstring(self.files["EPUB/package.opf"])
        metadata = package.find(self.OPF + "metadata")
        self.title = metadata.find(self.DC + "title").text
        self.identifier = metadata.find(self.DC + "identifier").text
        self.language = metadata.find(self.DC + "language").text
        self.date = metadata.find(self.DC + "date").text
        self.manifest = {item.get("id"): item.attrib for item in package.find(self.OPF + "manifest")}
        self.spine = [self.manifest[ref.get("idref")]["href"] for ref in package.find(self.OPF + "spine")]
        nav = ET.fromstring(self.files["EPUB/nav.xhtml"])
        self.nav = [(a.get("href"), "".join(a.itertext())) for a in nav.iter(self.XHTML + "a")]

    def text(self, name):
        return self.files["EPUB/" + name].decode("utf-8")

    def pictures(self):
        """href -> (media type, bytes) of every picture in the manifest."""
        return {item["href"]: (item["media-type"], self.files["EPUB/" + item["href"]])
                for item in self.manifest.values() if item["media-type"].startswith("image/")}

    def cover(self):
        covers = [item["href"] for item in self.manifest.values() if "cover-image" in item.get("properties", "")]
        return covers[0] if covers else None
