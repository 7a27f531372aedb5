"""pyvisa with the pyvisa-py backend against the test instrument: query, read_stb, clear, trigger, lock
(and another session refused while it is held)."""
import sys

try:
    import pyvisa
    import pyvisa_py  # noqa: F401  (the backend must be there)
except ImportError as error:
    print(f"SKIP: pyvisa-py is not installed ({error})")
    sys.exit(77)

IDENTITY = "TORVEX,VXI11-TEST,0,1.0\n"


def main():
    rm = pyvisa.ResourceManager("@py")
    inst = rm.open_resource("TCPIP::127.0.0.1::inst0::INSTR")
    inst.timeout = 20000
    failures = []

    def check(what, ok):
        print(("PASS " if ok else "FAIL ") + what)
        if not ok:
            failures.append(what)

    check("query", inst.query("*IDN?") == IDENTITY)
    inst.write("*CLS;*ESE 1;*SRE 32")
    inst.write("*OPC")
    # Messages are taken in order: once this query is answered, *OPC has been carried out.
    inst.query("*IDN?")
    check("read_stb after *OPC", inst.read_stb() & 0x60 == 0x60)
    inst.clear()
    check("query after clear", inst.query("*IDN?") == IDENTITY)
    inst.assert_trigger()
    check("query after trigger", inst.query("*IDN?") == IDENTITY)
    inst.lock(timeout=1000)
    check("query under lock", inst.query("*IDN?") == IDENTITY)
    # Another session is refused as locked (VXI-11 error 11), not timed out.
    other = rm.open_resource("TCPIP::127.0.0.1::inst0::INSTR")
    other.timeout = 2000

    def refusal(call):
        try:
            call()
        except pyvisa.errors.VisaIOError as error:
            return error.error_code
        return None

    locked = pyvisa.constants.StatusCode.error_resource_locked
    check("lock of another session under the lock: resource locked",
          refusal(lambda: other.lock(timeout=200)) == locked)
    check("read_stb of another session under the lock: resource locked", refusal(other.read_stb) == locked)
    check("clear of another session under the lock: resource locked", refusal(other.clear) == locked)
    other.close()
    inst.unlock()
    second = rm.open_resource("TCPIP::127.0.0.1::inst0::INSTR")
    second.timeout = 20000
    check("second session", second.query("*IDN?") == IDENTITY)
    second.close()
    inst.close()
    rm.close()
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
