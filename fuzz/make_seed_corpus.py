#!/usr/bin/env python3
"""Writes the seed corpora of the protocol fuzz targets (valid ota-v1 frames built from the
wire layout) into fuzz/corpus/. Run again only to change the seeds; the files are committed."""

import hashlib
import pathlib
import struct
import zlib

HERE = pathlib.Path(__file__).resolve().parent


def frame(message_type, device_type, upgrade_no, body):
    header = b"ZZZZ" + struct.pack("<BBBIH", 1, message_type, device_type, upgrade_no, len(body))
    return header + body + b"\xA5" * 4


def text(value, width):
    return value.encode().ljust(width, b"\0")


def components(device_type, bcus=6):
    if device_type == 1:
        return [(0, 1)]
    if device_type == 2:
        return [(1, 1), (2, 1), (3, 1), (4, 1)]
    return [(5, 1), (6, 1)] + [(7, i) for i in range(1, bcus + 1)]


def device_status(device_type, bcus=6):
    items = components(device_type, bcus)
    body = struct.pack("<BBBB", 1, 0, len(items), 34)
    for index, (ctype, cindex) in enumerate(items):
        body += struct.pack("<BB", ctype, cindex) + text(f"V{index}.0", 32)
    return frame(2, device_type, 0, body)


def device_frames(device_type, upgrade_no=7):
    ctype, cindex = components(device_type)[-1]
    return [
        device_status(device_type),
        frame(5, device_type, upgrade_no, bytes([2, 1, 0])),
        frame(5, device_type, upgrade_no, bytes([3, 2, 1])),
        frame(6, device_type, upgrade_no, bytes([3, 1, 100, 0])),
        frame(6, device_type, upgrade_no, bytes([5, 3, 10, 9])),
        frame(9, device_type, upgrade_no, struct.pack("<BHBBI", 1, 0, 1, 0, 0xCBF43926)),
        frame(10, device_type, upgrade_no, struct.pack("<BBBI", 1, 1, 0, 9) + bytes(range(32))),
        frame(11, device_type, upgrade_no, bytes([5, ctype, cindex, 42, 0]) + text("flashing", 64)),
    ]


def tool_frames(device_type, upgrade_no=7):
    ctype, cindex = components(device_type)[-1]
    return [
        frame(1, device_type, 0, b""),
        frame(3, device_type, upgrade_no, struct.pack("<BBH", 2, 3, 1)),
        frame(4, device_type, upgrade_no, bytes([1, 36, 1, ctype, cindex, 0]) + text("2.0", 32)),
        frame(7, device_type, upgrade_no, bytes([1]) + text("fw.bin", 64) + struct.pack("<IHH", 10241, 10240, 2)
              + bytes(32)),
        frame(8, device_type, upgrade_no, struct.pack("<BHHHI", 1, 0, 2, 5, 0) + b"hello"),
    ]


def command(device_type, upgrade_no, command_type, stage, param=0):
    return frame(3, device_type, upgrade_no, struct.pack("<BBH", command_type, stage, param))


def upgrade_conversation(device_type, upgrade_no=7, size=2500, chunk_size=1024):
    """The requests of a whole upgrade of the device's last component, as the backend sends them."""
    ctype, cindex = components(device_type)[-1]
    image = bytes((i * 7) & 0xFF for i in range(size))
    chunks = [image[i:i + chunk_size] for i in range(0, size, chunk_size)]
    requests = [
        frame(1, device_type, 0, b""),
        frame(4, device_type, upgrade_no, bytes([1, 36, 1, ctype, cindex, 0]) + text("2.0", 32)),
        command(device_type, upgrade_no, 1, 2),
        command(device_type, upgrade_no, 2, 3, 1),
        frame(7, device_type, upgrade_no, bytes([1]) + text("fw.bin", 64)
              + struct.pack("<IHH", size, chunk_size, len(chunks)) + hashlib.sha256(image).digest()),
    ]
    for number, data in enumerate(chunks):
        requests.append(frame(8, device_type, upgrade_no,
                              struct.pack("<BHHHI", 1, number, len(chunks), len(data), zlib.crc32(data)) + data))
    requests += [command(device_type, upgrade_no, 3, 4), command(device_type, upgrade_no, 4, 5),
                 command(device_type, upgrade_no, 5, 6), frame(1, device_type, upgrade_no, b""),
                 command(device_type, upgrade_no, 6, 0)]
    return requests


def write(directory, name, data):
    path = HERE / "corpus" / directory
    path.mkdir(parents=True, exist_ok=True)
    (path / name).write_bytes(data)


def main():
    for device_type in (1, 2, 3):
        for number, data in enumerate(device_frames(device_type) + tool_frames(device_type)):
            write("parse_frame", f"type{data[5]:02d}_device{device_type}_{number}", data)
    write("parse_frame", "device_status_bms12", device_status(3, 12))
    big = frame(8, 2, 1, struct.pack("<BHHHI", 1, 0, 1, 32768, 0) + bytes(32768))
    write("parse_frame", "chunk_32768", big)

    for device_type in (1, 2, 3):
        selector = bytes([device_type - 1, 0x11])
        write("adapter_decode", f"device_frames_{device_type}", selector + b"".join(device_frames(device_type)))
        write("adapter_decode", f"mixed_{device_type}",
              bytes([device_type - 1, 0x95]) + b"\x00\x11ZZZ" + b"ZZ".join(tool_frames(device_type) +
                                                                         device_frames(device_type)))
    # The simulator's intake: byte 0 the device type (bit 7: 12 BCUs), byte 1 the read-size seed.
    for device_type in (1, 2, 3):
        write("sim_intake", f"upgrade_{device_type}",
              bytes([device_type - 1, 0x33]) + b"".join(upgrade_conversation(device_type)))
        write("sim_intake", f"requests_{device_type}", bytes([device_type - 1 + 0x80, 0x07])
              + b"".join(tool_frames(device_type)))
    write("sim_intake", "wrong_device_type", bytes([0, 0x01]) + b"".join(upgrade_conversation(2)))
    write("adapter_decode", "device_type_mismatch", bytes([1, 0x22]) + device_status(2) + device_status(3)
          + device_status(2))


if __name__ == "__main__":
    main()
