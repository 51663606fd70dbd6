"""Client for the Ternival automation server (standard library only).

A class is activated the way a front end activates it: its ProgID (or class
identifier) is looked up in the registry, the executable registered under
LocalServer32 is started, and the class object is asked for one instance
over the server's JSON-RPC channel (one request per line on its standard
input, one response per line on its standard output).  Every application
object gets a server process of its own.

    app = ternival_client.Dispatch("Ternival.DistillationApp")
    app.InitFromVmpdfFile("examples/acetone_chloroform_methanol.toml")
    m = app.GetDistillationMap()
    m.SetComponentData("ACETONE", "CHLOROFM", "METHANOL")
    m.Pressure = 101325.0
    count, x, t, phase, stability = m.GetAzeotropes()

Members are called by name with their [in] arguments; a call returns its
[out] values (none: None; one: the value; several: a tuple).  A failing
HRESULT raises AutomationError.  Properties read and write as attributes.
"""

import configparser
import itertools
import json
import os
import subprocess

__all__ = ["Dispatch", "AutomationError", "ProtocolError", "registry_path", "local_server"]

CLASSES_ROOT = "HKEY_CLASSES_ROOT\\"


class AutomationError(Exception):
    """A member returned a failing HRESULT."""

    def __init__(self, member, hresult):
        self.member = member
        self.hresult = hresult & 0xFFFFFFFF
        super().__init__("%s failed: HRESULT 0x%08X" % (member, self.hresult))


class ProtocolError(Exception):
    """The server refused a request (JSON-RPC error) or went away."""

    def __init__(self, code, message):
        self.code = code
        super().__init__("%s (%s)" % (message, code))


def registry_path():
    """The registry file in effect, as the server finds it."""
    explicit = os.environ.get("TERNIVAL_REGISTRY")
    if explicit:
        return explicit
    base = os.environ.get("XDG_CONFIG_HOME") or os.path.join(os.path.expanduser("~"), ".config")
    return os.path.join(base, "ternival", "registry.ini")


def _read_registry():
    parser = configparser.RawConfigParser(delimiters=("=",), interpolation=None, strict=False)
    parser.optionxform = str
    parser.read(registry_path(), encoding="utf-8")
    # Registry keys compare without regard to letter case.
    return {section.lower(): dict(parser.items(section)) for section in parser.sections()}


def local_server(name):
    """Executable registered for a ProgID (versioned or not) or a CLSID."""
    reg = _read_registry()

    def default(key):
        return reg.get((CLASSES_ROOT + key).lower(), {}).get("@")

    clsid = name if name.startswith("{") else default(name + "\\CLSID")
    if clsid is None and not name.startswith("{"):
        current = default(name + "\\CurVer")
        clsid = default(current + "\\CLSID") if current else None
    if clsid is None:
        raise ProtocolError(-32001, "class not registered: %s" % name)
    server = default("CLSID\\" + clsid + "\\LocalServer32")
    if not server:
        raise ProtocolError(-32001, "no LocalServer32 for %s" % name)
    return server


# --- values on the wire ---------------------------------------------------

def _element_type(values):
    if all(isinstance(v, bool) for v in values):
        return None
    if all(isinstance(v, str) for v in values):
        return "BSTR"
    if all(isinstance(v, int) and not isinstance(v, bool) for v in values):
        return "I4"
    if all(isinstance(v, (int, float)) and not isinstance(v, bool) for v in values):
        return "R8"
    return "VARIANT"


def _shape(value):
    dims = []
    while isinstance(value, (list, tuple)):
        dims.append(len(value))
        if not value:
            break
        value = value[0]
    return dims


def _flatten(value, dims):
    """Elements in storage order: first index fastest."""
    out = []
    for idx in itertools.product(*[range(d) for d in reversed(dims)]):
        v = value
        for i in reversed(idx):
            v = v[i]
        out.append(v)
    return out


def to_wire(value):
    if isinstance(value, Proxy):
        return {"vt": "DISPATCH", "object": value._handle}
    if value is None:
        return {"vt": "EMPTY"}
    if isinstance(value, bool):
        return {"vt": "BOOL", "value": value}
    if isinstance(value, int):
        return {"vt": "I4", "value": value}
    if isinstance(value, float):
        return {"vt": "R8", "value": value}
    if isinstance(value, str):
        return {"vt": "BSTR", "value": value}
    if isinstance(value, (list, tuple)):
        dims = _shape(value)
        data = _flatten(value, dims) if all(dims) else []
        elem = _element_type(data) or "VARIANT"
        if elem == "VARIANT":
            data = [to_wire(v) for v in data]
        elif elem == "R8":
            data = [float(v) for v in data]
        return {"vt": "ARRAY|" + elem, "bounds": [[0, d] for d in dims], "data": data}
    raise TypeError("no automation type for %r" % (value,))


def _nested(data, counts):
    def at(index):
        pos, stride = 0, 1
        for i, n in zip(index, counts):
            pos += i * stride
            stride *= n
        return data[pos]

    def build(prefix):
        if len(prefix) == len(counts):
            return at(prefix)
        return [build(prefix + [k]) for k in range(counts[len(prefix)])]

    return build([])


class _Connection:
    def __init__(self, executable):
        self.process = subprocess.Popen([executable], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        text=True, encoding="utf-8", bufsize=1)
        self.ids = itertools.count(1)
        self.typelib = None

    def call(self, method, params):
        request = {"jsonrpc": "2.0", "id": next(self.ids), "method": method, "params": params}
        try:
            self.process.stdin.write(json.dumps(request) + "\n")
            self.process.stdin.flush()
            line = self.process.stdout.readline()
        except (BrokenPipeError, OSError) as e:
            raise ProtocolError(-32000, "server gone: %s" % e)
        if not line:
            raise ProtocolError(-32000, "server gone (exit status %s)" % self.process.poll())
        reply = json.loads(line)
        if "error" in reply:
            raise ProtocolError(reply["error"]["code"], reply["error"]["message"])
        return reply["result"]

    def from_wire(self, value):
        vt = value.get("vt", "EMPTY")
        if vt == "DISPATCH":
            return Proxy(self, value["object"]) if value.get("object") else None
        if vt.startswith("ARRAY|"):
            data = value["data"]
            if vt == "ARRAY|VARIANT":
                data = [self.from_wire(v) for v in data]
            return _nested(data, [c for _, c in value["bounds"]])
        return value.get("value")

    def close(self):
        if self.process.poll() is None:
            try:
                self.process.stdin.close()
            except OSError:
                pass
            self.process.wait(timeout=30)
        if self.process.stdout:
            self.process.stdout.close()


class Proxy:
    """An object of the server, with the members of its interface."""

    def __init__(self, connection, handle, interface=None):
        object.__setattr__(self, "_conn", connection)
        object.__setattr__(self, "_handle", handle)
        object.__setattr__(self, "_interface", interface)

    def _members(self):
        conn = self._conn
        if conn.typelib is None:
            conn.typelib = conn.call("typelib", {})
        return conn.typelib

    def _is_property(self, name):
        for itf in self._members()["interfaces"]:
            for m in itf["members"]:
                if m["name"].lower() == name.lower():
                    return m["kind"] in ("propget", "propput")
        return False

    def _invoke(self, name, kind, args):
        result = self._conn.call("invoke", {"object": self._handle, "member": name, "kind": kind,
                                            "args": [to_wire(a) for a in args]})
        hr = result["hresult"]
        outs = [self._conn.from_wire(v) for v in result["out"]]
        if hr < 0:
            raise AutomationError(name, hr)
        if not outs:
            return None
        return outs[0] if len(outs) == 1 else tuple(outs)

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)
        if self._is_property(name):
            return self._invoke(name, "get", [])
        return lambda *args: self._invoke(name, "method", list(args))

    def __setattr__(self, name, value):
        self._invoke(name, "put", [value])

    def release(self):
        self._conn.call("release", {"object": self._handle})

    def close(self):
        """Releases the object and ends its server process."""
        try:
            self.release()
        except ProtocolError:
            pass
        self._conn.close()


def Dispatch(name, server=None):
    """A new object of the registered class `name` in a server of its own,
    or, with `server` (any object of a running server), in that server:
    the way to reach classes whose class object serves many creations, such
    as the design extension "Ternival.DistillationDesign", which works on a
    map of the same server."""
    if server is not None:
        created = server._conn.call("create", {"class": name})
        return Proxy(server._conn, created["object"], created["interface"])
    conn = _Connection(local_server(name))
    created = conn.call("create", {"class": name})
    return Proxy(conn, created["object"], created["interface"])
