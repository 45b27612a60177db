#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into corpus/<target>/.

The seeds are real frames, reports and records of an update, laid out in each
target's input format (see the comment at the top of each fuzz_*.cpp). Run it
again after changing an input format; the fuzzers read the seeds, never write
them.
"""
import hashlib
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
HEX_FILE = os.path.join(HERE, "..", "..", "image", "firmware", "kv93t-app.hex")


def xor(data):
    value = 0
    for byte in data:
        value ^= byte
    return value


def host_frame(code, payload=b"", unit=1):
    body = bytes([0x10, 0x02, 0x00, unit, (len(payload) + 1) & 0xFF, code]) + payload + b"\x10\x03"
    return body + bytes([xor(body)])


def unit_frame(code, payload=b""):
    body = bytes([0x10, 0x02, 0x01, 0x00, (len(payload) + 1) & 0xFF, code]) + payload + b"\x10\x03"
    return body + bytes([xor(body)])


def isp_reply(echo, packet, data=b""):
    report = struct.pack("<II", echo, packet) + data
    return report + bytes(64 - len(report))


def connect_request():
    request = bytearray(70)
    request[0] = 0x80
    request[4] = 1
    return bytes(request)


VERSION_TEXT = b"KV-93T  012"


def parameter_block():
    block = bytearray((i * 37 + 11) & 0xFF for i in range(516))
    block[0] = 3  # selector
    block[2] = 0x5A  # mask
    return bytes(block)


def parameter_piece(block, piece):
    size = 16 if piece == 10 else 50
    return bytes([piece]) + block[piece * 50 : piece * 50 + size]


def write_corpus(target, seeds):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    for name in os.listdir(folder):
        os.remove(os.path.join(folder, name))
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as seed:
            seed.write(data)
    print(f"{target}: {len(seeds)} seeds")


# ---- fuzz_parse_response: one response as the link delivers it ----

def parse_response_seeds():
    block = parameter_block()
    return {
        "keep_alive_command": host_frame(0x12),
        "identify_command": host_frame(0x10),
        "read_parameter_command": host_frame(0xA8, b"\x00"),
        "code_1a_command": host_frame(0x1A, b"\x01\x00\x01\x00"),
        "identify_answer": unit_frame(0x10, b"\x33"),
        "version_text_answer": unit_frame(0x13, VERSION_TEXT),
        "parameter_answer": unit_frame(0xA8, parameter_piece(block, 4)),
        "last_parameter_answer": unit_frame(0xA8, parameter_piece(block, 10)),
        "dsp_block_answer": unit_frame(0x53, b"\x01\x2c"),
        "frame_without_payload": unit_frame(0x10),
        "frame_with_zero_length": bytes([0x10, 0x02, 0x01, 0x00, 0x00, 0x10, 0x10, 0x03, 0x00]),
        "frame_length_past_end": bytes([0x10, 0x02, 0x01, 0x00, 0x30, 0x13, 0x41, 0x10, 0x03, 0x00]),
        "shortest_frame_shape": bytes([0x10, 0x02, 0x10, 0x03]),
        "connect_reply": isp_reply(0x81, 1),
        "device_id_reply": isp_reply(0x1234, 4, struct.pack("<I", 0x0DE10001)),
        "short_raw_report": isp_reply(0x81, 1)[:7],
        "long_raw_report": isp_reply(0x81, 1) + b"\xff" * 8,
    }


# ---- fuzz_mcu_image: 3 bytes of bound, then text lines ----

def mcu_image_seeds():
    with open(HEX_FILE, "rb") as hex_file:
        lines = hex_file.read().split(b"\n")
    lines = [line.rstrip(b"\r") for line in lines if line]
    bound = struct.pack("<I", 0x11000)[:3]
    def text(records):
        return b"\n".join(records) + b"\n"
    def record(count, offset, kind, data):
        body = bytes([count, offset >> 8, offset & 0xFF, kind]) + data
        checksum = (-sum(body)) & 0xFF
        return b":" + (body + bytes([checksum])).hex().upper().encode()
    eof = b":00000001FF"
    head = lines[:12]
    tail = lines[-5:]
    return {
        "embedded_head": bound + text(head + [eof]),
        "embedded_tail": bound + text(tail),
        "embedded_second_segment": bound + text(lines[4096:4104] + [eof]),
        "segment_address": bound + text([record(2, 0, 2, b"\x10\x00"), record(4, 0x20, 0, b"\x01\x02\x03\x04"), eof]),
        "linear_address_beyond_bound": bound + text([record(2, 0, 4, b"\x00\x02"), record(4, 0, 0, b"\x01\x02\x03\x04"), eof]),
        "ends_at_bound": struct.pack("<I", 0x20)[:3] + text([record(16, 0x10, 0, bytes(range(16))), eof]),
        "one_past_bound": struct.pack("<I", 0x1F)[:3] + text([record(16, 0x10, 0, bytes(range(16))), eof]),
        "bad_data_checksum": bound + text([lines[1][:-2] + b"00", eof]),
        "bad_start_address_checksum": bound + text([b":04000005000000C100", eof]),
        "lower_case_digits": bound + text([record(4, 0, 0, b"\xab\xcd\xef\x01").lower(), eof]),
        "line_without_colon": bound + text([lines[1], b"1000100000", eof]),
        "no_end_record": bound + text(head),
        "crlf_lines": bound + b"\r\n".join(head[:4] + [eof]) + b"\r\n",
        "overlapping_records": bound + text([record(4, 0, 0, b"\x01\x02\x03\x04"), record(4, 2, 0, b"\x05\x06\x07\x08"), eof]),
        "bound_above_buffer": b"\xff\xff\xff" + text(head + [eof]),
    }


# ---- fuzz_link_buildup: operations ----

OP_SUBMIT_FRAME, OP_SUBMIT_BYTES, OP_FEED_BYTES, OP_FEED_UNIT_FRAME, OP_FEED_RAW, OP_SEND_BUFFER, OP_POLICY, OP_CLOSE, OP_WORKER_ROAD = range(9)
POLICY_NOTHING, POLICY_APPEND_FRAME, POLICY_APPEND_RAW, POLICY_REPLACE_FRAME, POLICY_CLOSE, POLICY_CLOSE_DELETE = range(6)


def op_submit_frame(code, payload=b"", append=True):
    return bytes([OP_SUBMIT_FRAME, code, len(payload)]) + payload + bytes([1 if append else 0])


def op_submit_bytes(data, append=True):
    return bytes([OP_SUBMIT_BYTES, len(data)]) + data + bytes([1 if append else 0])


def op_feed(data):
    return bytes([OP_FEED_BYTES, len(data) - 1]) + data


def op_feed_unit_frame(code, payload=b"", checksum=0):
    return bytes([OP_FEED_UNIT_FRAME, code, len(payload)]) + payload + bytes([checksum])


def op_feed_raw(report):
    return bytes([OP_FEED_RAW]) + report


def op_policy(policy):
    return bytes([OP_POLICY, policy])


def link_buildup_seeds():
    return {
        "identify_round_trip": op_submit_frame(0x10) + op_feed_unit_frame(0x10, b"\x33"),
        "version_text_round_trip": op_submit_frame(0x13) + op_feed_unit_frame(0x13, VERSION_TEXT),
        "three_appended": op_submit_frame(0x10) + op_submit_frame(0x13) + op_submit_frame(0xA8, b"\x00")
        + op_feed_unit_frame(0x10, b"\x33") + op_feed_unit_frame(0x13, VERSION_TEXT) + op_feed_unit_frame(0xA8, b"\x00" * 51),
        "replace_mode": op_submit_frame(0x10) + op_submit_frame(0x12, append=False) + op_submit_frame(0x13)
        + op_submit_frame(0x12, b"\x01", append=False) + op_feed_unit_frame(0x10) * 3,
        "noise_before_frame": op_submit_frame(0x10) + op_feed(b"\x55\x10\x55\x10\x02\x01\x00\x02\x10\x33\x10\x03\x00"),
        "frame_split_across_feeds": op_submit_frame(0x10) + op_feed(unit_frame(0x10, b"\x33")[:4]) + op_feed(unit_frame(0x10, b"\x33")[4:]),
        "raw_request_and_reply": op_submit_bytes(connect_request()[:70]) + op_feed_raw(isp_reply(0x81, 1)),
        "raw_reply_65th_byte": op_submit_bytes(connect_request()[:70]) + op_feed_raw(isp_reply(0x81, 1)) + op_feed(b"\x81"),
        "frame_then_raw": op_submit_frame(0x10) + op_feed(unit_frame(0x10, b"\x33")[:5]) + op_submit_bytes(connect_request()[:70]) + op_feed_raw(isp_reply(0x81, 1)),
        "raw_then_frame": op_submit_bytes(connect_request()[:70]) + op_feed(b"\x00" * 20) + op_submit_frame(0x10) + op_feed_unit_frame(0x10, b"\x33"),
        "chain_from_handler": op_policy(POLICY_APPEND_FRAME) + op_submit_frame(0x10) + op_feed_unit_frame(0x10) * 4,
        "raw_chain_from_handler": op_policy(POLICY_APPEND_RAW) + op_submit_bytes(connect_request()[:70]) + op_feed_raw(isp_reply(0x81, 1)) * 3,
        "replace_from_handler": op_policy(POLICY_REPLACE_FRAME) + op_submit_frame(0x10) + op_submit_frame(0x13) + op_feed_unit_frame(0x10) * 3,
        "close_in_handler": op_policy(POLICY_CLOSE) + op_submit_frame(0x10) + op_submit_frame(0x13) + op_feed_unit_frame(0x10) * 2,
        "delete_in_handler": op_policy(POLICY_CLOSE_DELETE) + op_submit_frame(0x10) + op_feed_unit_frame(0x10, b"\x33") + op_feed_unit_frame(0x13),
        "response_before_any_command": op_feed_unit_frame(0x10, b"\x33") + op_submit_frame(0x10) + op_feed_unit_frame(0x10, b"\x33"),
        "send_buffer": bytes([OP_SEND_BUFFER, 9]) + host_frame(0x12) + op_feed_unit_frame(0x12),
        "close_then_more": op_submit_frame(0x10) + bytes([OP_CLOSE]) + op_feed_unit_frame(0x10),
        "worker_identify_round_trip": bytes([OP_WORKER_ROAD]) + op_submit_frame(0x10) + op_feed_unit_frame(0x10, b"\x33"),
        "worker_raw_reply": bytes([OP_WORKER_ROAD]) + op_submit_bytes(connect_request()[:70]) + op_feed_raw(isp_reply(0x81, 1)),
        "worker_answers_back_to_back": bytes([OP_WORKER_ROAD]) + op_policy(POLICY_APPEND_FRAME) + op_submit_frame(0x21)
        + op_feed(unit_frame(0x21, b"\x33") + unit_frame(0x21, b"\x33")),
        "worker_delete_in_handler": bytes([OP_WORKER_ROAD]) + op_policy(POLICY_CLOSE_DELETE) + op_submit_frame(0x10)
        + op_submit_frame(0x13) + op_feed_unit_frame(0x10, b"\x33"),
        "worker_close_mid_report": bytes([OP_WORKER_ROAD]) + op_policy(POLICY_CLOSE) + op_submit_frame(0x10)
        + op_feed(unit_frame(0x10, b"\x33") + unit_frame(0x10, b"\x33")),
        "worker_idle_delivery_then_submit": bytes([OP_WORKER_ROAD]) + op_submit_frame(0x10) + op_feed_unit_frame(0x10, b"\x33")
        + op_feed_unit_frame(0x10, b"\x33") * 2 + op_submit_bytes(b"\x00") + op_submit_bytes(b"\x01"),
        "longest_frame": op_submit_frame(0x13) + op_feed(bytes([0x10, 0x02, 0x01, 0x00, 0xFF]) + b"\x41" * 123) + op_feed(b"\x41" * 128) + op_feed(b"\x41" * 7),
    }


# ---- fuzz_isp_reports: session state, then operations ----

OP_REPORT, OP_RESPONSE, OP_UNIT_FRAME, OP_ISP_REPLY, OP_FIRE_TIMER, OP_CLICK = range(6)
TM_USB_WAIT, TM_WAIT_DISCONNECT, TM_DSP_PROGRAM, TM_MCU_PROG, TM_RUN_STEP, TM_WRONG_DISCONNECT, TM_AUTO_UPDATE = range(7)
BN_START, BN_VERSION, BN_MCU, BN_SECURITY, BN_DSP = range(5)
IMAGE_SMALL_MCU, IMAGE_DSP, IMAGE_COUNT, IMAGE_NONE = range(4)


def session(update_mode=False, state=0, receive=True, auto_stage=0, mcu_pending=False, refused=False,
            param_index=0, key=0, packet=0, request_sum=0, image=IMAGE_SMALL_MCU, image_count=0,
            program_offset=0, dsp_chunk=0, dsp_last=None, reset_text=False, usb_wait=False,
            link=True, busy=True):
    header = bytes([1 if update_mode else 0, state + 1, 1 if receive else 0, auto_stage,
                    1 if mcu_pending else 0, 1 if refused else 0, param_index])
    header += struct.pack("<IIH", key, packet & 0xFFFFFFFF, request_sum)
    header += bytes([image])
    if image == IMAGE_COUNT:
        header += struct.pack("<I", image_count)
    header += struct.pack("<IH", program_offset, dsp_chunk)
    header += bytes([1]) if dsp_last is None else bytes([0]) + struct.pack("<H", dsp_last)
    header += bytes([1 if reset_text else 0, 1 if usb_wait else 0, 1 if link else 0])
    if link:
        header += bytes([1 if busy else 0])
    return header


def op_report(data, report_id=0):
    return bytes([OP_REPORT, report_id, len(data)]) + data


def op_response(data):
    return bytes([OP_RESPONSE, len(data) & 0xFF, 0]) + data


def op_unit_frame(code, payload=b""):
    return bytes([OP_UNIT_FRAME, code, len(payload)]) + payload


def op_isp_reply(packet, data=b"", good_echo=True, echo=0):
    head = bytes([OP_ISP_REPLY, 1 if good_echo else 0])
    if not good_echo:
        head += struct.pack("<H", echo)
    return head + struct.pack("<I", packet) + bytes([len(data)]) + data


def op_timer(which):
    return bytes([OP_FIRE_TIMER, which])


def op_click(which):
    return bytes([OP_CLICK, which])


def isp_reports_seeds():
    block = parameter_block()
    parameters = b"".join(op_unit_frame(0xA8, parameter_piece(block, piece)) for piece in range(11))
    # The boot-loader steps from "Connect" on, each reply armed by tmUsbWait.
    isp_run = session(update_mode=True, state=2, receive=False, usb_wait=True, request_sum=0x81, busy=True)
    for step, packet in enumerate([1, 2, 3, 4, 5, 1, 3]):
        data = struct.pack("<II", 0x0DE10001, 0xFFFFFFFF) if step in (3, 4) else b""
        isp_run += op_timer(TM_USB_WAIT) + op_isp_reply(packet + 1, data)
    for packet in range(5, 20, 2):
        isp_run += op_timer(TM_USB_WAIT) + op_isp_reply(packet)
    isp_run += op_timer(TM_WAIT_DISCONNECT)
    return {
        "unit_check_accepted": session() + op_unit_frame(0x10, b"\x33") + op_unit_frame(0x13, VERSION_TEXT),
        "unit_check_wrong_type": session() + op_unit_frame(0x10, b"\x34") + op_timer(TM_WRONG_DISCONNECT),
        "unit_check_too_old": session() + op_unit_frame(0x10, b"\x33") + op_unit_frame(0x13, b"KV-93T  011"),
        "unit_check_too_new": session() + op_unit_frame(0x10, b"\x33") + op_unit_frame(0x13, b"KV-93T  013"),
        "unit_check_short_text": session() + op_unit_frame(0x13, b"KV-93T  "),
        "identify_without_payload": session() + op_unit_frame(0x10),
        "start_program_click": session(link=False) + op_click(BN_START) + op_unit_frame(0x10, b"\x33")
        + op_unit_frame(0x13, VERSION_TEXT) + op_timer(TM_MCU_PROG),
        "auto_update_fallback": session(link=False) + op_click(BN_START) + op_timer(TM_AUTO_UPDATE),
        "parameter_data": session(state=1) + parameters + op_timer(TM_RUN_STEP),
        "parameter_bad_index": session(state=1, param_index=3) + op_unit_frame(0xA8, bytes([12]) + bytes(50)),
        "parameter_short_piece": session(state=1) + op_unit_frame(0xA8, bytes([0]) + bytes(20)),
        "security_then_parameters": session(auto_stage=3, link=False) + op_click(BN_SECURITY) + parameters
        + op_timer(TM_RUN_STEP) + op_timer(TM_DSP_PROGRAM) + op_unit_frame(0x53) * 3,
        "dsp_download_end": session(state=1, image=IMAGE_DSP, dsp_chunk=0, dsp_last=3, auto_stage=1)
        + op_unit_frame(0x53) * 4 + op_timer(TM_RUN_STEP),
        "dsp_chunk_past_image": session(state=1, image=IMAGE_DSP, dsp_chunk=0xFFF0, dsp_last=0xFFFF) + op_unit_frame(0x53) * 2,
        "isp_full_run": isp_run,
        "isp_bad_echo": session(update_mode=True, state=2, receive=True, request_sum=0x81) + op_isp_reply(2, good_echo=False, echo=0x80),
        "isp_reply_before_arming": session(update_mode=True, state=3, receive=False, usb_wait=True, request_sum=0x100)
        + op_report(isp_reply(0x100, 3)) + op_timer(TM_USB_WAIT),
        "isp_second_report_dropped": session(update_mode=True, state=4, receive=True, request_sum=0x10)
        + op_report(isp_reply(0x11, 4)) + op_report(isp_reply(0x10, 4)),
        "isp_program_data_last": session(update_mode=True, state=9, image=IMAGE_SMALL_MCU, program_offset=272, packet=40, request_sum=0x200)
        + op_isp_reply(41) + op_timer(TM_USB_WAIT) + op_isp_reply(42),
        "isp_packet_number_limit": session(update_mode=True, state=9, image=IMAGE_SMALL_MCU, program_offset=48, request_sum=0x300)
        + op_isp_reply(0x7FFFFFFF) + op_timer(TM_USB_WAIT) + op_isp_reply(0x80000000),
        "image_count_past_buffer": session(update_mode=True, state=8, image=IMAGE_COUNT, image_count=0x30000, program_offset=0x2FFF0, request_sum=0x85)
        + op_isp_reply(7) + op_timer(TM_USB_WAIT) + op_isp_reply(9),
        "frame_longer_than_report": session() + op_report(bytes([0x10, 0x02, 0x01, 0x00, 0x39, 0x10]) + bytes(58)),
        "frame_in_isp_step": session(update_mode=True, state=5) + op_unit_frame(0x10, b"\x33"),
        "short_report": session() + op_report(b"\x10\x02\x01"),
        "response_longer_than_report": session(state=1) + op_response(bytes([0x10, 0x02, 0x01, 0x00, 0x80, 0xA8]) + bytes(127) + b"\x10\x03\x00"),
        "no_link": session(link=False) + op_unit_frame(0x10, b"\x33"),
        "dsp_prog_click": session(state=1, auto_stage=2, link=False) + op_click(BN_DSP) + op_timer(TM_DSP_PROGRAM) + op_unit_frame(0x53),
    }


def assembler_feed(data):
    """Chunks of at most 128 received bytes."""
    out = b""
    for start in range(0, len(data), 128):
        piece = data[start : start + 128]
        out += bytes([len(piece) - 1]) + piece
    return out


ASSEMBLER_FRAME = b"\x80"
ASSEMBLER_RAW = b"\x81"


def response_assembler_seeds():
    report = isp_reply(0x1234, 1, b"\x00" * 8)
    return {
        "identify_answer": assembler_feed(unit_frame(0x10, b"\x33")),
        "noise_before_frame": assembler_feed(b"\x55\x10\x10" + unit_frame(0x12)),
        "two_frames_one_report": assembler_feed(unit_frame(0x13, VERSION_TEXT) + unit_frame(0x12)),
        "raw_reply_65th_byte": ASSEMBLER_RAW + assembler_feed(report + report[:1]),
        "raw_then_frame": ASSEMBLER_RAW + assembler_feed(report[:10]) + ASSEMBLER_FRAME
        + assembler_feed(unit_frame(0x12)),
        "frame_then_raw": assembler_feed(unit_frame(0xA8, parameter_piece(parameter_block(), 0))[:30])
        + ASSEMBLER_RAW + assembler_feed(report),
        "longest_frame": assembler_feed(bytes([0x10, 0x02, 0x01, 0x00, 0xFF]) + bytes(258)),
    }


# ---- fuzz_recording: a --trace file handed to --replay ----

RECORDING_HEADER = (b"# kv93t-update recording 1\n# tool 1.2.0\n"
                    b"# images mcu-crc32=EDCAC1B4 dsp-crc32=4D620565\n"
                    b"# platform linux hidraw\n# pace 1\n# timeout 2\n")


def recording_seeds():
    arrival = b'0.004 + 0168:0821 in=65 out=65 port="1-1" node="/dev/hidraw3"\n'
    return {
        "every_kind": RECORDING_HEADER + arrival
        + b"0.005 W 00  10 02 00 01 01 10 10 03 11 \n"
        + b"0.006 R 00  10 02 01 00 03 10 33 01 10 03 21 \n"
        + b"0.007 D 00  55 \n0.008 W 00  10 02 (write failed)\n"
        + b'0.009 E 71 "Protocol error"\n0.010 P run-step\n'
        + b'0.011 M program-ok " Program OK !! \\"\\\\"\n0.012 S "Connect"\n'
        + b'0.013 - 0168:0821 port="1-1" node="/dev/hidraw3"\n0.014 X 0 updated\n',
        "windows_line_ends": RECORDING_HEADER.replace(b"\n", b"\r\n").replace(b"linux hidraw", b"windows hid")
        + arrival.replace(b"\n", b"\r\n"),
        "before_recordings": b"0.005 W 00  10 02 00 01 01 10 10 03 11 \n",
        "oversized_note": RECORDING_HEADER + b"0.006 R 00  10 02 01 00 FF (claims 255 bytes)\n",
    }


def main():
    write_corpus("fuzz_response_assembler", response_assembler_seeds())
    write_corpus("fuzz_parse_response", parse_response_seeds())
    write_corpus("fuzz_mcu_image", mcu_image_seeds())
    write_corpus("fuzz_link_buildup", link_buildup_seeds())
    write_corpus("fuzz_isp_reports", isp_reports_seeds())
    write_corpus("fuzz_recording", recording_seeds())
    return 0


if __name__ == "__main__":
    sys.exit(main())
