#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/corpus/ from the wire test vectors and a few hand-made
inputs. Run again after the vectors change; the output is committed."""
import json
import os
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
VECTORS = json.load(open(os.path.join(HERE, "..", "tests", "data", "vectors.json")))
FRAMES = {k: bytes.fromhex(v) for k, v in VECTORS["frames"].items()}
RECORDS = [bytes.fromhex(r["record_hex"]) for r in VECTORS["records_under_secret"]]


def frame(kind, payload=b""):
    return struct.pack("<II", kind, 8 + len(payload)) + payload


def opening(kind, text=b"", total=None):
    body = struct.pack("<II", kind, 0) + text
    return struct.pack("<II", 52, total if total is not None else 8 + len(body)) + body


def write(target, seeds):
    directory = os.path.join(HERE, "corpus", target)
    shutil.rmtree(directory, ignore_errors=True)
    os.makedirs(directory)
    for name, data in seeds.items():
        with open(os.path.join(directory, name), "wb") as f:
            f.write(data)


session_opening = FRAMES["opening_session_2.0.5_hex"]
data_opening = FRAMES["opening_data_sid_0x12345678_to_127.0.0.1:8080_hex"]
write("opening_fuzz", {
    "session_2.0.5": session_opening,
    "data_connection": data_opening,
    "empty_version": opening(0),
    "longest": opening(0, b"2.0.5" + b"\0" * 107),
    "unknown_kind": opening(2),
    "length_too_small": opening(0, total=11),
    "version_2.0.4_nul": opening(0, b"2.0.4\0junk"),
})

login = bytes.fromhex(VECTORS["login"]["frame_hex"])
text_frames = b"".join(frame(8, r) for r in RECORDS[1:4])
write("session_message_fuzz", {
    "before_login_login": b"\0" + login,
    "before_login_traffic": b"\0" + FRAMES["traffic_info_request_hex"] * 2,
    "logged_in_udp": b"\1" + FRAMES["udp_data_secret_127.0.0.1:53_value7_channel5_'hi'_hex"],
    "logged_in_resolve": b"\1" + FRAMES["resolve_secret_['localhost']_hex"],
    "logged_in_text": b"\1" + text_frames + frame(11, struct.pack("<I", 5)),
    "logged_in_empty_text": b"\1" + frame(8, RECORDS[0]),
    "logged_in_cut_record": b"\1" + frame(8, RECORDS[4][:40]) + frame(8, RECORDS[2]),
    "server_replies": b"\1" + FRAMES["hello_default_hex"] + frame(1, b"\x78\x56\x34\x12")
                      + frame(7, bytes(16)) + frame(12, RECORDS[3]),
    "length_below_8": b"\0" + struct.pack("<II", 7, 4),
})

# Record streams; the last bytes pick the piece sizes.
write("record_fuzz", {
    "one_each": b"".join(RECORDS) + b"\x05\x21\x01\x40",
    "empty_records": RECORDS[0] * 4 + RECORDS[3],
    "bytewise": RECORDS[4] + b"\x01" * 32,
})

write("settings_fuzz", {
    "default": b"[ServerPort]:80\n[MultiConnect]:no\n[AuditType]:0\n[MinClientVersion]:2.0.4\n"
               b"[HidePwd]:no\n[StoreEncryptedPwd]:no\n[AutoRefresh]:no\n",
    "crlf_case": b"[serverport]:0x1F90\r\n[MULTICONNECT]:YES\r\n[MinClientVersion]:1.9\r",
    "odd_values": b"[ServerPort]:99999999999\n[AuditType]:-1 trailing\n[MinClientVersion]:"
                  + b"9" * 1100 + b"\n[HidePwd]:yes\0no\n",
})

write("access_rules_fuzz", {
    "shipped": open(os.path.join(HERE, "..", "packaging", "tarvo-access.conf"), "rb").read(),
    "examples": b"allow 10.20.0.5 port 22\ndeny 10.0.0.0/8\n"
                b"allow 192.168.5.0/24 port 80, 443,8000-8099\ndeny 192.168.0.0/16 port all\n"
                b"deny 0.0.0.0/0 port 25\r\n",
    "bad_lines": b"block 1.2.3.4\ndeny 1.2.3.4/33\ndeny 1.2.3.4 port 9-1\ndeny 1.2.3\0\n",
})


def area(code, body=b"", flag=1):
    # The request area's bytes, then the flag and the code (read from the end).
    return body + bytes([flag, code])


def user_info(name, password=b"", limit=0):
    record = bytearray(552)
    record[0:len(name)] = name
    record[257:257 + len(password)] = password
    record[520:528] = struct.pack("<q", limit)
    return bytes(record)


settings_record = b"2.0.4".ljust(128, b"\0") + struct.pack("<iIiIII", 80, 1, 1, 0, 0, 0)
write("control_request_fuzz", {
    "add_kim": area(2, user_info(b"kim", b"pw", 1000)),
    "update_kim": area(4, user_info(b"kim", b"new", 0)),
    "toggle_kim": area(5, user_info(b"kim")),
    "reset_kim": area(6, user_info(b"kim")),
    "delete_kim": area(3, user_info(b"kim")),
    "no_nul_name": area(2, b"x" * 600),
    "settings": area(8, settings_record),
    "get_settings": area(7),
    "enum": area(9),
    "message": area(12, b"\x7f\0\0\1" + b"hello\0"),
    "relays": area(13, b"\x7f\0\0\1" + struct.pack("<I", 7) + b"kim\0"),
    "attach": area(0),
})
