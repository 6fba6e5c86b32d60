#!/usr/bin/python3
"""Modbus TCP requests for velgw's tests, made with pymodbus (Debian's
python3-pymodbus) and, for what a well-behaved client never sends, with a
plain socket.

  modbus_client.py PORT UNIT read TABLE ADDRESS COUNT
  modbus_client.py PORT UNIT write TABLE ADDRESS VALUE...
  modbus_client.py PORT UNIT raw HEX
  modbus_client.py PORT UNIT crowd TABLE ADDRESS SECONDS CLIENTS VALUE...

TABLE is holding, input, coil or discrete. read prints the values, write
'ok', either 'exception N' for an exception answer. raw sends the request
PDU HEX (function code and data) and prints the answer's PDU in hex.
crowd runs CLIENTS connections at once, each reading COUNT = len(VALUE...)
values in a loop for SECONDS, with a client that sends garbage and one that
resets its connection in a loop beside them, and prints
'reads N wrong W failed F'. Exit status 77 when pymodbus is missing.
"""
import random
import socket
import struct
import sys
import threading
import time

try:
    from pymodbus.client import ModbusTcpClient
except ImportError as e:
    print("pymodbus is missing (apt-get install python3-pymodbus python3-serial-asyncio): %s" % e,
          file=sys.stderr)
    sys.exit(77)


def client(port):
    c = ModbusTcpClient("127.0.0.1", port=port, timeout=5, retries=0)
    if not c.connect():
        raise SystemExit("cannot connect to 127.0.0.1:%d" % port)
    return c


def read(c, unit, table, address, count):
    call = {"holding": c.read_holding_registers, "input": c.read_input_registers,
            "coil": c.read_coils, "discrete": c.read_discrete_inputs}[table]
    r = call(address, count, slave=unit)
    if r.isError():
        return "exception %d" % r.exception_code if hasattr(r, "exception_code") else "error %s" % r
    values = r.registers if table in ("holding", "input") else r.bits[:count]
    return " ".join(str(int(v)) for v in values)


def write(c, unit, table, address, values):
    if table == "coil":
        bits = [v != 0 for v in values]
        r = c.write_coil(address, bits[0], slave=unit) if len(bits) == 1 else \
            c.write_coils(address, bits, slave=unit)
    elif len(values) == 1:
        r = c.write_register(address, values[0], slave=unit)
    else:
        r = c.write_registers(address, values, slave=unit)
    if r.isError():
        return "exception %d" % r.exception_code if hasattr(r, "exception_code") else "error %s" % r
    return "ok"


def raw(port, unit, pdu):
    s = socket.create_connection(("127.0.0.1", port), timeout=5)
    s.sendall(struct.pack(">HHHB", 1, 0, len(pdu) + 1, unit) + pdu)
    head = b""
    while len(head) < 7:
        head += s.recv(7 - len(head))
    length = struct.unpack(">H", head[4:6])[0]
    body = b""
    while len(body) < length - 1:
        body += s.recv(length - 1 - len(body))
    s.close()
    return body.hex()


def crowd(port, unit, table, address, seconds, clients, values):
    expected = " ".join(str(v) for v in values)
    counts = {"reads": 0, "wrong": 0, "failed": 0}
    lock = threading.Lock()
    end = time.monotonic() + seconds
    start = threading.Barrier(clients + 2)

    def reader():
        c = client(port)
        start.wait()
        while time.monotonic() < end:
            try:
                got = read(c, unit, table, address, len(values))
                key = "reads" if got == expected else "wrong"
            except Exception:  # a failed request: counted, the loop goes on
                key = "failed"
            with lock:
                counts[key] += 1
        c.close()

    def garbage():
        rng = random.Random(1)
        start.wait()
        while time.monotonic() < end:
            try:
                s = socket.create_connection(("127.0.0.1", port), timeout=2)
                s.sendall(bytes(rng.randrange(256) for _ in range(rng.randrange(1, 300))))
                s.settimeout(0.2)
                try:
                    s.recv(512)
                except OSError:
                    pass
                s.close()
            except OSError:
                pass

    def resetter():
        start.wait()
        while time.monotonic() < end:
            try:
                s = socket.create_connection(("127.0.0.1", port), timeout=2)
                s.sendall(struct.pack(">HHHB", 7, 0, 6, unit) + b"\x03\x00")  # half a request
                s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                s.close()  # RST
                time.sleep(0.02)
            except OSError:
                pass

    threads = [threading.Thread(target=reader) for _ in range(clients)]
    threads += [threading.Thread(target=garbage), threading.Thread(target=resetter)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return "reads %d wrong %d failed %d" % (counts["reads"], counts["wrong"], counts["failed"])


def main(argv):
    port, unit, command = int(argv[1]), int(argv[2]), argv[3]
    args = argv[4:]
    if command == "raw":
        print(raw(port, unit, bytes.fromhex(args[0])))
    elif command == "crowd":
        print(crowd(port, unit, args[0], int(args[1]), float(args[2]), int(args[3]),
                    [int(v) for v in args[4:]]))
    else:
        c = client(port)
        if command == "read":
            print(read(c, unit, args[0], int(args[1]), int(args[2])))
        else:
            print(write(c, unit, args[0], int(args[1]), [int(v, 0) for v in args[2:]]))
        c.close()


if __name__ == "__main__":
    main(sys.argv)
