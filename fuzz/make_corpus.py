#!/usr/bin/env python3
"""Writes the hand-made part of the fuzz corpus: python3 fuzz/make_corpus.py fuzz/corpus

The files named by a hash were added later by libFuzzer's -merge=1 from longer
runs; they only add coverage and can be regenerated the same way.

Inputs are laid out the way the targets take them apart with libFuzzer's
FuzzedDataProvider: raw bytes from the front, numbers and flags from the back.
"""
import os, struct, sys
root = sys.argv[1]

class Enc:
    """Builds inputs the way FuzzedDataProvider takes them apart."""
    def __init__(self): self.front = bytearray(); self.back = bytearray()
    def integral(self, lo, hi, value):
        rng = hi - lo; v = value - lo; n = 0
        while n * 8 < 64 and (rng >> (n * 8)) > 0: n += 1
        # bytes are consumed from the end, most significant first
        for i in reversed(range(n)): self.back.append((v >> (8 * i)) & 0xff)
    def bool(self, b): self.integral(0, 255, 1 if b else 0)
    def raw(self, data): self.front += data
    def data(self): return bytes(self.front) + bytes(reversed(self.back))

def frame(p): return struct.pack('<I', len(p)) + p

def write(name, sub, data):
    d = os.path.join(root, sub); os.makedirs(d, exist_ok=True)
    open(os.path.join(d, name), 'wb').write(data)

# browser frames: limit byte, then per piece (length 1..512, interrupt, bytes)
def browser(name, limit, stream, sizes, interrupts=None):
    e = Enc(); e.integral(0, 255, limit); at = 0
    for i, n in enumerate(sizes):
        e.integral(1, 512, n); e.bool(bool(interrupts and interrupts[i])); e.raw(stream[at:at + n]); at += n
    assert at == len(stream), (name, at, len(stream))
    write(name, 'browser_frames', e.data())

hello = b'{"type":"hello","version":1}'
two = frame(hello) + frame(b'{"type":"focus"}')
browser('two_frames_whole', 255, two, [len(two)])
browser('two_frames_bytewise', 255, two, [1] * len(two), [i % 3 == 0 for i in range(len(two))])
browser('empty_frame_then_frame', 255, frame(b'') + frame(b'x'), [2, 3, 4])
browser('at_limit', 16, frame(b'a' * 16) + frame(b'b'), [20, 5])
browser('over_limit', 16, frame(b'a' * 17) + b'rest', [4, 21])
browser('eof_in_header', 255, b'\x05\x00', [2])
browser('eof_in_payload', 255, b'\x05\x00\x00\x00abc', [3, 4])
browser('huge_length', 255, b'\xff\xff\xff\xff' + b'z' * 8, [6, 6])

# app frames: limit byte, then per step (end?, small?, size, bytes)
def app(name, limit, steps):
    e = Enc(); e.integral(0, 255, limit)
    for step in steps:
        if step == 'end':
            e.integral(0, 15, 0); continue
        e.integral(0, 15, 1)
        small = len(step) <= 16
        e.bool(small)
        if small: e.integral(1, 16, len(step))
        else: e.integral(1, 65536, len(step))
        e.raw(step)
    write(name, 'app_frames', e.data())

burst = b''.join(frame(bytes([65 + i]) * i) for i in range(12))
app('burst_one_read', 255, [burst])
app('split_header', 255, [b'\x03', b'\x00\x00', b'\x00abc'])
app('split_payload', 255, [frame(b'0123456789')[:7], frame(b'0123456789')[7:]])
app('partial_then_end', 255, [frame(b'abcdef')[:6], 'end', frame(b'new')])
app('over_limit_after_frames', 8, [frame(b'ok') + frame(b'x' * 9) + frame(b'lost')])
app('exactly_limit', 8, [frame(b'y' * 8)[:5], frame(b'y' * 8)[5:]])
app('empty_frames', 255, [b'\x00' * 12])
app('max_length_header', 255, [b'\xff\xff\xff\xff'])

# classification: plain payloads
for name, text in [
    ('hello', b'{"type":"hello","version":3}'),
    ('focus', b'{"type":"focus"}'),
    ('open_app', b'{"type":"open_app"}'),
    ('escaped_type', b'{"type":"hel\\u006co"}'),
    ('duplicate_type', b'{"type":"blur","type":"focus"}'),
    ('non_string_type', b'{"type":7}'),
    ('nested_type', b'{"data":{"type":"hello"}}'),
    ('array', b'[1,2]'),
    ('scalar', b'5'),
    ('empty', b''),
    ('invalid_utf8', b'{"type":"hello\xff"}'),
    ('surrogate_pair', b'{"type":"\\ud83d\\ude00"}'),
    ('lone_surrogate', b'{"type":"\\ud800"}'),
    ('deep', b'{"type":"x","a":' + b'[' * 1100 + b']' * 1100 + b'}'),
    ('deep_at_limit', b'{"type":"x","a":' + b'[' * 1023 + b']' * 1023 + b'}'),
    ('deep_over_limit', b'{"type":"x","a":' + b'[' * 1024 + b']' * 1024 + b'}'),
    ('big_number', b'{"type":"hello","n":1e400}'),
    ('big_integer', b'{"type":"hello","n":123456789012345678901234567890}'),
    ('whitespace', b' \t\r\n{ "type" : "blur" } \n'),
    ('trailing_garbage', b'{"type":"hello"}x'),
    ('nul_in_string', b'{"type":"a\\u0000b"}'),
    # look-alikes of the four types the host acts on, on both sides of the scan
    ('word_outside_type', b'{"type":"x","note":"hello"}'),
    ('word_inside_a_string', b'{"type":"say hello","s":"blurry"}'),
    ('escaped_quotes', b'{"type":"x","s":"\\"focus\\""}'),
    ('escaped_name', b'{"\\u0074ype":"open_app"}'),
    ('across_blocks', b'{"pad":"' + b'p' * 55 + b'","type":"blur"}'),
]:
    write(name, 'classify', text)

# the application library's decoder: per piece, its size (0..300) from the
# back and its bytes from the front
def decoder(name, pieces):
    e = Enc()
    for piece in pieces:
        e.integral(0, 300, len(piece)); e.raw(piece)
    write(name, 'app_decoder', e.data())

two = frame(b'{"type":"hello"}') + frame(b'')
decoder('two_frames_whole', [two])
decoder('bytewise', [two[i:i + 1] for i in range(len(two))])
decoder('empty_pieces', [b'', two[:3], b'', two[3:]])
decoder('over_limit', [frame(b'ok') + b'\x01\x00\x10\x00' + b'late'])
decoder('at_limit_header', [b'\x00\x00\x10\x00' + b'x' * 200])
decoder('partial_at_end', [frame(b'abcdef')[:7]])
