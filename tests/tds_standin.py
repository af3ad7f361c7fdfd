#!/usr/bin/python3
"""A SQL Server stand-in for tests.

Speaks TDS 7.4 on a loopback port to the real FreeTDS driver and runs what it
receives on SQLite files: the --main file is schema dbo, each --schema NAME=FILE
is attached as NAME. It returns real token streams (rows, counts, errors,
output parameters), keeps reading the socket while a statement is delayed so a
cancel is noticed, and logs every request as one JSON line. Transactions begun
by the driver's transaction requests or by T-SQL are SQLite transactions of the
session's connection; a session that ends rolls its open one back.

Only the standard library: it runs under Debian's /usr/bin/python3.
"""

import argparse
import datetime
import hashlib
import json
import os
import re
import select
import signal
import socket
import sqlite3
import struct
import sys
import threading
import time

# Packet types.
PKT_BATCH, PKT_RPC, PKT_REPLY, PKT_ATTENTION, PKT_LOGIN7, PKT_TRANSACTION, PKT_PRELOGIN = (
    0x01, 0x03, 0x04, 0x06, 0x10, 0x0E, 0x12)

# Tokens.
TOK_RETURNSTATUS, TOK_COLMETADATA, TOK_ERROR, TOK_INFO, TOK_RETURNVALUE = 0x79, 0x81, 0xAA, 0xAB, 0xAC
TOK_LOGINACK, TOK_ROW, TOK_ENVCHANGE = 0xAD, 0xD1, 0xE3
TOK_DONE, TOK_DONEPROC, TOK_DONEINPROC = 0xFD, 0xFE, 0xFF

DONE_FINAL, DONE_MORE, DONE_ERROR, DONE_COUNT, DONE_ATTN = 0x00, 0x01, 0x02, 0x10, 0x20
CMD_SELECT, CMD_INSERT, CMD_DELETE, CMD_UPDATE = 0xC1, 0xC3, 0xC4, 0xC5

# SQL_Latin1_General_CP1_CI_AS: LCID 0x409, case-insensitive, sort id 52.
# FreeTDS (collate2charset in src/tds/iconv.c) maps it to CP1252.
COLLATION = bytes([0x09, 0x04, 0xD0, 0x00, 0x34])

# Well-known procedure ids FreeTDS sends instead of names (TDS_SP_* in tds.h).
PROC_IDS = {1: 'sp_cursor', 2: 'sp_cursoropen', 3: 'sp_cursorprepare', 4: 'sp_cursorexecute',
            5: 'sp_cursorprepexec', 6: 'sp_cursorunprepare', 7: 'sp_cursorfetch',
            8: 'sp_cursoroption', 9: 'sp_cursorclose', 10: 'sp_executesql', 11: 'sp_prepare',
            12: 'sp_execute', 13: 'sp_prepexec', 14: 'sp_prepexecrpc', 15: 'sp_unprepare'}

TRUNCATED = 'String or binary data would be truncated.'

TABLE_HINTS = {'nolock', 'readuncommitted', 'readcommitted', 'readcommittedlock', 'repeatableread',
               'serializable', 'holdlock', 'updlock', 'xlock', 'rowlock', 'paglock', 'tablock',
               'tablockx', 'readpast', 'nowait'}


class SqlError(Exception):
    """A server error: number, message, class."""

    def __init__(self, number, message, severity=16, state=1, extra=None):
        super().__init__(message)
        self.number = number
        self.message = message
        self.severity = severity
        self.state = state
        self.extra = extra or []  # further (number, message, class) messages, e.g. 3621


# ---------------------------------------------------------------- encoding

def u8(v):
    return struct.pack('<B', v)


def u16(v):
    return struct.pack('<H', v)


def i32(v):
    return struct.pack('<i', v)


def u32(v):
    return struct.pack('<I', v)


def i64(v):
    return struct.pack('<q', v)


def ucs2(text):
    return text.encode('utf-16-le', 'surrogatepass')


def b_varchar(text):
    data = ucs2(text)
    return u8(len(data) // 2) + data


def us_varchar(text):
    data = ucs2(text)
    return u16(len(data) // 2) + data


def cp1252(text):
    # A varchar column of this collation holds CP1252: anything else is '?'.
    return text.encode('cp1252', 'replace')


# ---------------------------------------------------------------- columns

class Col:
    """A result column: SQL Server type and how its values go on the wire."""

    def __init__(self, name, kind, size=0, owner='', table='', nullable=True, computed=False,
                 updatable=False):
        self.name = name
        self.kind = kind  # int, bit, float, varchar, char, nvarchar, nchar, varcharmax,
        #                   nvarcharmax, text, ntext, varbinary, varbinarymax
        self.size = size  # int: bytes; char kinds: characters
        self.owner = owner
        self.table = table
        self.nullable = nullable
        self.computed = computed
        self.updatable = updatable

    def metadata(self):
        flags = (0x01 if self.nullable else 0) | (0x08 if self.updatable else 0) | (
            0x20 if self.computed else 0)
        out = u32(0) + u16(flags)
        k = self.kind
        if k == 'int':
            out += u8(0x26) + u8(self.size)
        elif k == 'bit':
            out += u8(0x68) + u8(1)
        elif k == 'float':
            out += u8(0x6D) + u8(8)
        elif k in ('varchar', 'char'):
            out += u8(0xA7 if k == 'varchar' else 0xAF) + u16(self.size) + COLLATION
        elif k in ('nvarchar', 'nchar'):
            out += u8(0xE7 if k == 'nvarchar' else 0xEF) + u16(self.size * 2) + COLLATION
        elif k == 'varcharmax':
            out += u8(0xA7) + u16(0xFFFF) + COLLATION
        elif k == 'nvarcharmax':
            out += u8(0xE7) + u16(0xFFFF) + COLLATION
        elif k in ('text', 'ntext'):
            # TDS 7.2 and later carry the table name in parts (tds_generic_get_info).
            out += u8(0x23 if k == 'text' else 0x63)
            out += u32(0x7FFFFFFF if k == 'text' else 0x7FFFFFFE) + COLLATION
            parts = [p for p in (self.owner, self.table) if p]
            out += u8(len(parts)) + b''.join(us_varchar(p) for p in parts)
        elif k == 'varbinary':
            out += u8(0xA5) + u16(self.size)
        elif k == 'xml':
            out += u8(0xF1) + u8(0)  # no schema collection
        elif k == 'variant':
            out += u8(0x62) + u32(8009)
        elif k == 'varbinarymax':
            out += u8(0xA5) + u16(0xFFFF)
        else:
            raise ValueError('unknown column kind ' + k)
        return out + b_varchar(self.name)

    def value(self, v):
        k = self.kind
        if k == 'int':
            if v is None:
                return b'\x00'
            return u8(self.size) + int(v).to_bytes(self.size, 'little', signed=True)
        if k == 'bit':
            return b'\x00' if v is None else b'\x01' + u8(1 if v else 0)
        if k == 'float':
            return b'\x00' if v is None else b'\x08' + struct.pack('<d', float(v))
        if k in ('varchar', 'char', 'nvarchar', 'nchar'):
            if v is None:
                return u16(0xFFFF)
            s = as_text(v)
            if k in ('char', 'nchar') and len(s) < self.size:
                s = s + ' ' * (self.size - len(s))
            data = cp1252(s) if k in ('varchar', 'char') else ucs2(s)
            return u16(len(data)) + data
        if k in ('varcharmax', 'nvarcharmax', 'varbinarymax'):
            if v is None:
                return b'\xff' * 8
            if k == 'varbinarymax':
                data = bytes(v) if isinstance(v, (bytes, bytearray)) else cp1252(as_text(v))
            else:
                s = as_text(v)
                data = cp1252(s) if k == 'varcharmax' else ucs2(s)
            return plp(data)
        if k in ('text', 'ntext'):
            if v is None:
                return b'\x00'
            s = as_text(v)
            data = cp1252(s) if k == 'text' else ucs2(s)
            # FreeTDS marks this text pointer as not usable (tds_generic_get).
            return u8(16) + b'dummy textptr\x00\x00\x00' + b'dummyTS\x00' + u32(len(data)) + data
        if k == 'xml':
            return b'\xff' * 8 if v is None else plp(ucs2(as_text(v)))
        if k == 'variant':
            # The value with its base type: int, float or nvarchar.
            if v is None:
                return u32(0)
            if isinstance(v, int):
                data = u8(0x38) + u8(0) + struct.pack('<i', v)
            elif isinstance(v, float):
                data = u8(0x3E) + u8(0) + struct.pack('<d', v)
            else:
                text = ucs2(as_text(v))
                data = u8(0xE7) + u8(7) + COLLATION + u16(8000) + text
            return u32(len(data)) + data
        if k == 'varbinary':
            if v is None:
                return u16(0xFFFF)
            data = bytes(v) if isinstance(v, (bytes, bytearray)) else cp1252(as_text(v))
            return u16(len(data)) + data
        raise ValueError('unknown column kind ' + k)


def plp(data):
    out = [i64(len(data))]
    for at in range(0, len(data), 8000):
        chunk = data[at:at + 8000]
        out.append(u32(len(chunk)) + chunk)
    out.append(u32(0))
    return b''.join(out)


def as_text(v):
    if isinstance(v, str):
        return v
    if isinstance(v, (bytes, bytearray)):
        return bytes(v).decode('latin-1')
    return str(v)


# SQLite does not accept (max) in a column definition: a test file declares such a column
# as varchar(-1) (ODBC's way of saying unlimited) or "varchar(max)" in quotes.
DECL_RE = re.compile(r'^\s*(n?)(var)?char(?:acter)?\s*(?:\(\s*(\d+|max|-1)\s*\))?\s*$', re.I)


def col_from_decl(name, decl, owner='', table='', notnull=False, computed=False):
    """The SQL Server column a SQLite declared type stands for, or None."""
    d = (decl or '').strip().strip('"\'[]').strip().lower()
    args = dict(owner=owner, table=table, nullable=not notnull, computed=computed,
                updatable=not computed)
    m = DECL_RE.match(d)
    if m:
        wide, var, size = m.group(1) == 'n', m.group(2) is not None, m.group(3)
        if size is None or size in ('max', '-1'):
            # A size-less varchar is taken as unlimited: the test files are SQLite.
            return Col(name, 'nvarcharmax' if wide else 'varcharmax', **args)
        n = int(size)
        kind = ('n' if wide else '') + ('varchar' if var else 'char')
        return Col(name, kind, n, **args)
    if d == 'text':
        return Col(name, 'text', **args)
    if d == 'ntext':
        return Col(name, 'ntext', **args)
    if d == 'xml':
        return Col(name, 'xml', **args)
    if d == 'sql_variant':
        return Col(name, 'variant', **args)
    if d in ('int', 'integer'):
        return Col(name, 'int', 4, **args)
    if d == 'bigint':
        return Col(name, 'int', 8, **args)
    if d == 'smallint':
        return Col(name, 'int', 2, **args)
    if d == 'tinyint':
        return Col(name, 'int', 1, **args)
    if d == 'bit':
        return Col(name, 'bit', 1, **args)
    if d in ('real', 'float', 'double', 'double precision') or d.startswith(('decimal', 'numeric')):
        return Col(name, 'float', 8, **args)
    m = re.match(r'^(var)?binary\s*\(\s*(\d+|max)\s*\)$', d)
    if m:
        if m.group(2) == 'max':
            return Col(name, 'varbinarymax', **args)
        return Col(name, 'varbinary', int(m.group(2)), **args)
    if d in ('blob', 'image'):
        return Col(name, 'varbinarymax', **args)
    return None


SYSTEM_TYPE_IDS = {
    'image': 34, 'text': 35, 'uniqueidentifier': 36, 'date': 40, 'time': 41, 'datetime2': 42,
    'tinyint': 48, 'smallint': 52, 'int': 56, 'real': 59, 'money': 60, 'datetime': 61,
    'float': 62, 'sql_variant': 98, 'ntext': 99, 'bit': 104, 'decimal': 106, 'numeric': 108,
    'bigint': 127, 'varbinary': 165, 'varchar': 167, 'binary': 173, 'char': 175,
    'timestamp': 189, 'nvarchar': 231, 'nchar': 239, 'xml': 241}
SYSTEM_TYPE_NAMES = {i: n for n, i in SYSTEM_TYPE_IDS.items()}
FIXED_LENGTHS = {
    'image': 16, 'text': 16, 'ntext': 16, 'uniqueidentifier': 16, 'date': 3, 'time': 5,
    'datetime2': 8, 'tinyint': 1, 'smallint': 2, 'int': 4, 'bigint': 8, 'real': 4, 'money': 8,
    'datetime': 8, 'float': 8, 'sql_variant': 8016, 'bit': 1, 'decimal': 9, 'numeric': 9,
    'timestamp': 8, 'xml': -1}


def system_type(decl):
    """(system type name, max_length in bytes) of a column as sys.columns gives them; a
    column of a type SQL Server would not have is taken for sql_variant."""
    d = (decl or '').strip().strip('"\'[]').strip().lower()
    m = DECL_RE.match(d)
    if m:
        wide, var, size = m.group(1) == 'n', m.group(2) is not None, m.group(3)
        name = ('n' if wide else '') + ('varchar' if var or size in (None, 'max', '-1')
                                        else 'char')
        if size is None or size in ('max', '-1'):
            return name, -1
        return name, int(size) * (2 if wide else 1)
    m = re.match(r'^(var)?binary\s*\(\s*(\d+|max)\s*\)$', d)
    if m:
        name = 'varbinary' if m.group(1) else 'binary'
        return name, -1 if m.group(2) == 'max' else int(m.group(2))
    if d == 'blob':
        return 'varbinary', -1
    if d == 'integer':
        d = 'int'
    if d in ('double', 'double precision'):
        d = 'float'
    if d == 'rowversion':
        d = 'timestamp'
    d = re.sub(r'\s*\(.*$', '', d)
    if d in FIXED_LENGTHS:
        return d, FIXED_LENGTHS[d]
    if not d:
        # An untyped column of a test file goes out as nvarchar.
        return 'nvarchar', -1
    return 'sql_variant', 8016


def fits(col, values):
    """Whether every value can go out as this column's type."""
    for v in values:
        if v is None:
            continue
        if col.kind in ('int', 'bit'):
            if not isinstance(v, int) or not -(1 << (8 * col.size - 1)) <= v < (1 << (8 * col.size - 1)):
                return False
        elif col.kind == 'float':
            if not isinstance(v, (int, float)):
                return False
        elif col.kind in ('varbinary', 'varbinarymax'):
            if not isinstance(v, (bytes, bytearray)):
                return False
        elif col.kind == 'variant':
            if isinstance(v, (bytes, bytearray)) or isinstance(v, int) and \
                    not -(1 << 31) <= v < (1 << 31) or isinstance(v, str) and len(v) > 4000:
                return False
        elif isinstance(v, (bytes, bytearray)):
            return False
    return True


def inferred_col(name, values):
    """Expressions: integers are int (count(*) is int on SQL Server), text is nvarchar."""
    present = [v for v in values if v is not None]
    if present and all(isinstance(v, int) for v in present):
        small = all(-(1 << 31) <= v < (1 << 31) for v in present)
        return Col(name, 'int', 4 if small else 8)
    if present and all(isinstance(v, (int, float)) for v in present):
        return Col(name, 'float', 8)
    if present and all(isinstance(v, (bytes, bytearray)) for v in present):
        longest = max(len(v) for v in present)
        return Col(name, 'varbinary', 8000) if longest <= 8000 else Col(name, 'varbinarymax')
    longest = max((len(ucs2(as_text(v))) // 2 for v in present), default=0)
    return Col(name, 'nvarchar', 4000) if longest <= 4000 else Col(name, 'nvarcharmax')


def hashbytes(algorithm, value):
    """HASHBYTES of an nvarchar value: its UTF-16 bytes digested."""
    if value is None:
        return None
    data = value if isinstance(value, (bytes, bytearray)) else ucs2(as_text(value))
    name = {'sha2_256': 'sha256', 'sha2_512': 'sha512', 'sha1': 'sha1', 'md5': 'md5'}
    return hashlib.new(name[as_text(algorithm).lower()], bytes(data)).digest()


# ---------------------------------------------------------------- SQL text

TOKEN_RE = re.compile(r"""
  (?P<ws>\s+)
 |(?P<comment>--[^\n]*|/\*.*?\*/)
 |(?P<nstr>[Nn]'(?:[^']|'')*')
 |(?P<str>'(?:[^']|'')*')
 |(?P<br>\[(?:[^\]]|\]\])*\])
 |(?P<dq>"(?:[^"]|"")*")
 |(?P<var>@@?[A-Za-z0-9_#@$]+)
 |(?P<word>[A-Za-z_#$\u0080-\U0010ffff][A-Za-z0-9_#$@\u0080-\U0010ffff]*)
 |(?P<num>(?:\d+(?:\.\d*)?|\.\d+)(?:[eE][-+]?\d+)?)
 |(?P<op>.)
""", re.S | re.X)


class Tok:
    __slots__ = ('kind', 'text')

    def __init__(self, kind, text):
        self.kind = kind
        self.text = text

    def word(self):
        return self.text.lower() if self.kind == 'word' else None

    def ident(self):
        """The identifier this token names, unquoted, or None."""
        if self.kind == 'word':
            return self.text
        if self.kind == 'br':
            return self.text[1:-1].replace(']]', ']')
        if self.kind == 'dq':
            return self.text[1:-1].replace('""', '"')
        return None


def tokenize(text):
    return [Tok(m.lastgroup, m.group()) for m in TOKEN_RE.finditer(text)]


def significant(tokens):
    return [t for t in tokens if t.kind not in ('ws', 'comment')]


def literal_value(tok):
    if tok.kind == 'nstr':
        return tok.text[2:-1].replace("''", "'")
    if tok.kind == 'str':
        return tok.text[1:-1].replace("''", "'")
    if tok.kind == 'num':
        return float(tok.text) if any(c in tok.text for c in '.eE') else int(tok.text)
    if tok.word() == 'null':
        return None
    return tok.ident() if tok.kind in ('word', 'br', 'dq') else tok.text


# Words that start a new statement in a batch even without a ';' between.
STATEMENT_STARTERS = {'dbcc', 'backup', 'dump', 'exec', 'execute'}


def check_identifier_lengths(tokens):
    """SQL Server's names are sysname, nvarchar(128): a longer one, quoted or not,
    fails the batch's parse."""
    for t in tokens:
        name = t.ident()
        if name is not None and len(name.encode('utf-16-le')) // 2 > 128:
            shown = name.encode('utf-16-le')[:256].decode('utf-16-le', 'ignore')
            raise SqlError(103, "The identifier that starts with '%s' is too long. Maximum "
                           "length is 128." % shown, 15)


# What may stand before a condition's opening parenthesis (a function's
# arguments or an IN list follow a name or IN).
CONDITION_OPENERS = {'where', 'and', 'or', 'not', 'on', 'when', 'having'}
COMPARISONS = {'=', '<', '>', '!'}


def check_no_row_values(sig):
    """SQL Server has no row values: (a, b) > (1, 2) does not parse, as SQLite's
    would."""
    for i, t in enumerate(sig):
        if t.text != '(' or t.kind != 'op':
            continue
        if i > 0 and not (sig[i - 1].word() in CONDITION_OPENERS or sig[i - 1].text == '('):
            continue
        depth, comma, j = 0, False, i
        while j < len(sig):
            if sig[j].kind == 'op' and sig[j].text == '(':
                depth += 1
            elif sig[j].kind == 'op' and sig[j].text == ')':
                depth -= 1
                if depth == 0:
                    break
            elif sig[j].kind == 'op' and sig[j].text == ',' and depth == 1:
                comma = True
            j += 1
        if comma and j + 1 < len(sig) and sig[j + 1].kind == 'op' and \
                sig[j + 1].text in COMPARISONS:
            raise SqlError(4145, "An expression of non-boolean type specified in a context "
                           "where a condition is expected, near ','.", 15)


def split_statements(text):
    """Statements of a batch: at ';' (keeping CREATE TRIGGER bodies whole) and before
    DBCC/BACKUP/EXEC, which SQL Server accepts with only a space before them."""
    pieces, current, depth = [], [], 0
    for tok in tokenize(text):
        if tok.kind == 'op' and tok.text == '(':
            depth += 1
        elif tok.kind == 'op' and tok.text == ')':
            depth = max(0, depth - 1)
        if depth == 0 and tok.word() in STATEMENT_STARTERS and significant(current):
            if significant(current)[0].word() not in ('insert', 'create'):
                pieces.append(current)
                current = []
        current.append(tok)
        if depth == 0 and tok.kind == 'op' and tok.text == ';':
            # SQLite's brackets would end at a name's "]]".
            if sqlite3.complete_statement(''.join(
                    quote_ident(t.ident()) if t.kind == 'br' else t.text for t in current)):
                pieces.append(current[:-1])
                current = []
    pieces.append(current)
    return [p for p in pieces if significant(p)]


def matching_parens(tokens):
    match, stack = {}, []
    for i, t in enumerate(tokens):
        if t.kind == 'op' and t.text == '(':
            stack.append(i)
        elif t.kind == 'op' and t.text == ')' and stack:
            match[stack.pop()] = i
    return match


def temp_table_forms(tokens):
    """SELECT ... INTO #t FROM ... as SQLite's CREATE TABLE temp.t AS SELECT ... FROM ...;
    CREATE INDEX i ON #t (...) as CREATE INDEX temp.i ON t (...)."""
    sig = [i for i, t in enumerate(tokens) if t.kind not in ('ws', 'comment')]
    if not sig:
        return tokens
    first = tokens[sig[0]].word()
    if first == 'select':
        depth = 0
        for n, i in enumerate(sig):
            t = tokens[i]
            if t.text == '(':
                depth += 1
            elif t.text == ')':
                depth -= 1
            elif depth == 0 and t.word() == 'from':
                return tokens
            elif depth == 0 and t.word() == 'into' and n + 1 < len(sig):
                name = tokens[sig[n + 1]]
                rest = tokens[:i] + tokens[sig[n + 1] + 1:]
                return tokenize('create table ') + [name] + tokenize(' as ') + rest
        return tokens
    words = [tokens[i].word() for i in sig[:4]]
    if words[:2] == ['create', 'index'] and len(sig) > 4 and words[3] == 'on' and \
            tokens[sig[4]].text.startswith('#'):
        out = list(tokens)
        out[sig[2]] = Tok('word', 'temp.' + quote_ident(tokens[sig[2]].ident()))
        out[sig[4]] = Tok('dq', quote_ident(tokens[sig[4]].text))
        return out
    return tokens


def next_sig(tokens, i):
    i += 1
    while i < len(tokens) and tokens[i].kind in ('ws', 'comment'):
        i += 1
    return i


def parse_table_ref(tokens, i):
    """[schema .] name at tokens[i] (significant tokens only) -> (schema, name, next) or None."""
    if i >= len(tokens) or tokens[i].ident() is None:
        return None
    first = tokens[i].ident()
    if i + 2 < len(tokens) and tokens[i + 1].text == '.' and tokens[i + 2].ident() is not None:
        if i + 4 < len(tokens) and tokens[i + 3].text == '.' and tokens[i + 4].ident() is not None:
            return tokens[i + 2].ident(), tokens[i + 4].ident(), i + 5
        return first, tokens[i + 2].ident(), i + 3
    return None, first, i + 1


# ---------------------------------------------------------------- functions

def ci_replace(text, find, repl):
    # SQL Server's REPLACE follows the collation: case-insensitive here.
    if text is None or find is None or repl is None:
        return None
    text, find, repl = as_text(text), as_text(find), as_text(repl)
    if find == '':
        return text
    return re.sub(re.escape(find), lambda _m: repl, text, flags=re.I)


def replace_limited(text, find, repl, limit):
    out = ci_replace(text, find, repl)
    return None if out is None else out[:int(limit)]


def sql_len(text):
    return None if text is None else len(as_text(text).rstrip(' '))


def charindex(find, text, start=1):
    if find is None or text is None:
        return None
    at = as_text(text).lower().find(as_text(find).lower(), max(int(start or 1), 1) - 1)
    return at + 1


# ---------------------------------------------------------------- shared state

class Shared:
    def __init__(self, args):
        self.main = args.main
        self.schemas = []
        for item in args.schema or []:
            name, _, path = item.partition('=')
            self.schemas.append((name, path))
        self.schemas.sort(key=lambda s: s[0].lower())
        self.control_path = args.control
        self.server_name = args.server_name
        self.log_lock = threading.Lock()
        self.log_file = open(args.log, 'a', encoding='utf-8')
        self.id_lock = threading.Lock()
        self.object_ids = {}
        self.last_transaction = 0

    def created(self):
        # A database's creation time stays with it, as sys.databases keeps it;
        # a database made again (its file's note removed) has a new one.
        path = self.main + '.created'
        with self.id_lock:
            try:
                with open(path, encoding='utf-8') as f:
                    return f.read().strip()
            except OSError:
                now = datetime.datetime.now().strftime('%Y-%m-%d %H:%M:%S.%f')[:-3]
                with open(path, 'w', encoding='utf-8') as f:
                    f.write(now)
                return now

    def transaction_id(self):
        # A new descriptor for every transaction, as the server hands out.
        with self.id_lock:
            self.last_transaction += 1
            return 0x10000 + self.last_transaction

    def log(self, entry):
        line = json.dumps(entry, ensure_ascii=True)
        with self.log_lock:
            self.log_file.write(line + '\n')
            self.log_file.flush()

    def control(self):
        if not self.control_path:
            return {}
        try:
            with open(self.control_path, encoding='utf-8') as f:
                value = json.load(f)
            return value if isinstance(value, dict) else {}
        except (OSError, ValueError):
            return {}

    def object_id(self, owner, table):
        key = (owner.lower(), table.lower())
        with self.id_lock:
            if key not in self.object_ids:
                self.object_ids[key] = 245575913 + 16 * len(self.object_ids)
            return self.object_ids[key]


# ---------------------------------------------------------------- one connection

class Session(threading.Thread):
    def __init__(self, shared, sock, number):
        super().__init__(daemon=True)
        self.shared = shared
        self.sock = sock
        self.conn = number
        self.packet_size = 4096
        self.packet_id = 1
        self.pending = []
        self.database = 'master'
        self.server_name = 'localhost'
        self.db = None
        self.tables = []  # (sqlite schema, owner, name, type)
        self.columns = {}  # (sqlite schema, table lower) -> [xinfo rows]
        self.schema_versions = None
        self.prepared = {}
        self.next_handle = 1
        self.transaction = 0  # descriptor of the open transaction, 0 in autocommit
        self.holding_writes = False  # the file's one writer taken by the open transaction

    # ------------------------------------------------------------ wire

    def recv_exact(self, n):
        data = bytearray()
        while len(data) < n:
            part = self.sock.recv(n - len(data))
            if not part:
                raise ConnectionError('closed')
            data += part
        return bytes(data)

    def read_message(self):
        if self.pending:
            return self.pending.pop(0)
        payload = bytearray()
        while True:
            header = self.recv_exact(8)
            length = (header[2] << 8) | header[3]
            if length < 8:
                raise ConnectionError('bad packet')
            payload += self.recv_exact(length - 8)
            if header[1] & 0x01:
                return header[0], bytes(payload)

    def send_message(self, payload, kind=PKT_REPLY):
        # Split at the packet size announced in the login's ENVCHANGE.
        room = self.packet_size - 8
        chunks = [payload[i:i + room] for i in range(0, len(payload), room)] or [b'']
        out = bytearray()
        for n, chunk in enumerate(chunks):
            last = n == len(chunks) - 1
            out += bytes([kind, 0x01 if last else 0x00]) + struct.pack('>H', len(chunk) + 8)
            out += bytes([0, 0, self.packet_id, 0]) + chunk
            self.packet_id = (self.packet_id + 1) & 0xFF
        self.sock.sendall(bytes(out))

    # ------------------------------------------------------------ tokens

    def message_token(self, token, number, message, severity, state=1):
        body = i32(number) + u8(state) + u8(severity) + us_varchar(message)
        body += b_varchar(self.server_name) + b_varchar('') + i32(1)
        return u8(token) + u16(len(body)) + body

    def error_tokens(self, err):
        out = self.message_token(TOK_ERROR, err.number, err.message, err.severity, err.state)
        self.shared.log({'conn': self.conn, 'type': 'error', 'number': err.number,
                         'message': err.message})
        for number, message, severity in err.extra:
            token = TOK_ERROR if severity > 10 else TOK_INFO
            out += self.message_token(token, number, message, severity)
        return out

    @staticmethod
    def done(token, status, cmd=0, count=0):
        return u8(token) + u16(status) + u16(cmd) + struct.pack('<Q', count)

    @staticmethod
    def envchange(kind, new, old):
        body = u8(kind) + b_varchar(new) + b_varchar(old)
        return u8(TOK_ENVCHANGE) + u16(len(body)) + body

    @staticmethod
    def result_set(cols, rows):
        out = [u8(TOK_COLMETADATA) + u16(len(cols))]
        out += [c.metadata() for c in cols]
        for row in rows:
            out.append(u8(TOK_ROW))
            out += [c.value(v) for c, v in zip(cols, row)]
        return b''.join(out)

    # ------------------------------------------------------------ main loop

    def run(self):
        try:
            while True:
                kind, payload = self.read_message()
                if kind == PKT_PRELOGIN:
                    self.on_prelogin()
                elif kind == PKT_LOGIN7:
                    self.on_login(payload)
                elif kind == PKT_BATCH:
                    self.on_batch(payload)
                elif kind == PKT_RPC:
                    self.on_rpc(payload)
                elif kind == PKT_ATTENTION:
                    self.on_attention()
                elif kind == PKT_TRANSACTION:
                    self.on_transaction(payload)
                else:
                    self.send_message(self.done(TOK_DONE, DONE_FINAL))
        except (ConnectionError, OSError):
            pass
        finally:
            try:
                self.sock.close()
            except OSError:
                pass
            if self.db is not None and self.db.in_transaction:
                # A session that ends takes its open transaction with it.
                self.shared.log({'conn': self.conn, 'type': 'tran', 'op': 'rollback',
                                 'cause': 'disconnect', 'descriptor': '%016x' % self.transaction})
                try:
                    self.db.execute('rollback')
                except sqlite3.Error:
                    pass
            if self.db is not None:
                try:
                    self.db.close()
                except sqlite3.Error:
                    pass

    def on_prelogin(self):
        # Version 16.0.2000, encryption not supported: the login stays in clear.
        self.send_message(bytes([0x00, 0x00, 0x0B, 0x00, 0x06, 0x01, 0x00, 0x11, 0x00, 0x01, 0xFF,
                                 0x10, 0x00, 0x07, 0xD0, 0x00, 0x00, 0x02]))

    def on_login(self, msg):
        def field(at, data=msg):
            off, chars = struct.unpack_from('<HH', data, at)
            return data[off:off + chars * 2].decode('utf-16-le', 'surrogatepass')

        requested = struct.unpack_from('<I', msg, 8)[0]
        if 512 <= requested <= 32767:
            self.packet_size = requested
        # The password is obfuscated: each byte xor 0xA5, then nibbles swapped.
        pw = bytearray(msg)
        off, chars = struct.unpack_from('<HH', msg, 44)
        for k in range(off, min(off + chars * 2, len(pw))):
            x = pw[k] ^ 0xA5
            pw[k] = ((x << 4) | (x >> 4)) & 0xFF
        entry = {'conn': self.conn, 'type': 'login', 'user': field(40),
                 'password': field(44, bytes(pw)), 'database': field(68), 'server': field(52),
                 'app': field(48)}
        self.shared.log(entry)
        self.database = entry['database'] or 'master'
        self.server_name = self.shared.server_name
        self.open_database()
        out = self.envchange(1, self.database, 'master')
        out += self.message_token(TOK_INFO, 5701,
                                  "Changed database context to '%s'." % self.database, 0, 2)
        out += self.envchange(2, 'us_english', '')
        body = u8(7) + u8(5) + COLLATION + u8(0)
        out += u8(TOK_ENVCHANGE) + u16(len(body)) + body
        out += self.message_token(TOK_INFO, 5703, 'Changed language setting to us_english.', 0)
        # What the driver reports as the engine (SQL_DBMS_NAME in FreeTDS
        # is this product name, kept from the login acknowledgement).
        name = ucs2(self.shared.control().get('product_name', 'Microsoft SQL Server'))
        body = u8(1) + struct.pack('>I', 0x74000004) + u8(len(name) // 2) + name + bytes(
            [16, 0, 0x07, 0xD0])
        out += u8(TOK_LOGINACK) + u16(len(body)) + body
        out += self.envchange(4, str(self.packet_size), '4096')
        out += self.done(TOK_DONE, DONE_FINAL)
        self.send_message(out)

    def on_attention(self):
        # Nothing runs: acknowledge at once (after the configured delay).
        self.shared.log({'conn': self.conn, 'type': 'attention'})
        self.acknowledge_attention()

    def acknowledge_attention(self):
        delay = float(self.shared.control().get('attention_delay', 0) or 0)
        if delay > 0:
            time.sleep(delay)
        self.send_message(self.done(TOK_DONE, DONE_ATTN))

    def wait_interruptibly(self, seconds):
        """Waits, reading the socket: True when an attention cut the wait short."""
        deadline = time.monotonic() + seconds
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            readable, _, _ = select.select([self.sock], [], [], left)
            if readable:
                kind, payload = self.read_message()
                if kind == PKT_ATTENTION:
                    self.shared.log({'conn': self.conn, 'type': 'attention'})
                    return True
                self.pending.append((kind, payload))

    def serve_request(self, text, action):
        """Rejections, delays and attention around one request, then its reply."""
        control = self.shared.control()
        lowered = text.lower()
        for item in control.get('reject', []) or []:
            if item and str(item).lower() in lowered:
                err = SqlError(50000, 'rejected by the test')
                self.send_message(self.error_tokens(err) + self.done(TOK_DONE, DONE_ERROR))
                return
        delay = 0.0
        for name, seconds in (control.get('delays', {}) or {}).items():
            if name and name.lower() in lowered:
                delay = max(delay, float(seconds))
        if delay > 0 and self.wait_interruptibly(delay):
            # Abandoned before it ran, as the server does on a cancel.
            self.acknowledge_attention()
            return
        try:
            self.hold_writes()
            self.refresh_catalog()
            reply = action()
        except SqlError as err:
            reply = self.error_tokens(err) + self.done(TOK_DONE, DONE_ERROR)
        except Exception as exc:  # any failure is the client's error, not a dead server
            reply = self.error_tokens(SqlError(50000, '%s: %s' % (type(exc).__name__, exc)))
            reply += self.done(TOK_DONE, DONE_ERROR)
        held = 0.0
        for name, seconds in (control.get('held', {}) or {}).items():
            if name and name.lower() in lowered:
                held = max(held, float(seconds))
        if held > 0:
            self.hold(held)
        self.send_message(reply)

    def hold(self, seconds):
        """Holds a reply back, as a slow network does: the statement has run, its
        transaction is still open. A client that goes meanwhile ends the session."""
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            ready, _, _ = select.select([self.sock], [], [], max(0.0, min(0.1, end - time.monotonic())))
            if ready:
                if not self.sock.recv(1, socket.MSG_PEEK):
                    raise ConnectionError('the client went away')
                time.sleep(0.05)

    @staticmethod
    def skip_headers(payload):
        if len(payload) >= 4:
            total = struct.unpack_from('<I', payload, 0)[0]
            if 4 <= total <= len(payload):
                return total
        return 0

    @staticmethod
    def header_descriptor(payload):
        """The transaction descriptor a TDS 7.2+ request carries in its ALL_HEADERS
        (tds_start_query_head() in FreeTDS's query.c puts tds72_transaction there), as
        hex; None without one."""
        end = Session.skip_headers(payload)
        at = 4
        while at + 6 <= end:
            length, kind = struct.unpack_from('<IH', payload, at)
            if length < 6:
                break
            if kind == 2 and length >= 14:
                return payload[at + 6:at + 14][::-1].hex()
            at += length
        return None

    def on_batch(self, payload):
        text = payload[self.skip_headers(payload):].decode('utf-16-le', 'surrogatepass')
        self.shared.log({'conn': self.conn, 'type': 'batch', 'text': text,
                         'descriptor': self.header_descriptor(payload)})
        self.serve_request(text, lambda: self.run_batch(text, {}, in_proc=False)[0])

    # ------------------------------------------------------------ transactions

    def transaction_change(self, kind, descriptor):
        """ENVCHANGE 8 (begin: the new descriptor), 9 (commit) or 10 (rollback: the old
        one). FreeTDS keeps the begin's 8 bytes in tds72_transaction and clears them on
        9 and 10 (tds_process_env_chg() in token.c)."""
        value = u8(8) + struct.pack('<Q', descriptor)
        body = u8(kind) + (value + u8(0) if kind == 8 else u8(0) + value)
        return u8(TOK_ENVCHANGE) + u16(len(body)) + body

    def begin_transaction(self):
        self.db.execute('begin')
        self.holding_writes = False
        self.transaction = self.shared.transaction_id()
        return self.transaction_change(8, self.transaction)

    def hold_writes(self):
        """The server locks what a transaction touches, table by table, and a session
        that wants a lock another holds waits for it. This one file has one writer: a
        transaction that runs anything takes it first, waiting as a blocked session
        waits. Taken after a read instead, two transactions would each hold half of the
        file and SQLite would give one of them up at once, an error the server never
        gives to writers of different tables. Nothing has run since the begin, so
        beginning again loses nothing."""
        if self.db.in_transaction and not self.holding_writes:
            self.db.execute('rollback')
            self.db.execute('begin immediate')
            self.holding_writes = True

    def end_transaction(self, commit):
        if not self.db.in_transaction:
            if commit:
                raise SqlError(3902, 'The COMMIT TRANSACTION request has no corresponding '
                               'BEGIN TRANSACTION.')
            raise SqlError(3903, 'The ROLLBACK TRANSACTION request has no corresponding '
                           'BEGIN TRANSACTION.')
        self.db.execute('commit' if commit else 'rollback')
        return self.transaction_ended(9 if commit else 10)

    def transaction_ended(self, kind):
        if kind == 10:
            # What was written to sys.columns and the size triggers inside it is gone too.
            self.schema_versions = None
        old, self.transaction = self.transaction, 0
        return self.transaction_change(kind, old)

    def statement_transaction(self, word):
        """ENVCHANGE for a transaction a T-SQL statement began or ended: the server
        reports those too, so the client's descriptor follows."""
        if self.db.in_transaction and not self.transaction:
            self.transaction = self.shared.transaction_id()
            return self.transaction_change(8, self.transaction)
        if self.transaction and not self.db.in_transaction:
            return self.transaction_ended(9 if word == 'commit' else 10)
        return b''

    def on_transaction(self, payload):
        """Transaction manager requests of TDS 7.2+: FreeTDS sends them for
        SQL_ATTR_AUTOCOMMIT (change_autocommit() in odbc.c: off is
        tds_submit_begin_tran(), on is tds_submit_rollback(tds, 0)) and for SQLEndTran
        (change_transaction(): tds_submit_commit() or tds_submit_rollback() with cont 1,
        so a new transaction begins at once). Body: request type (5 begin, 7 commit,
        8 rollback); begin: isolation level, name; commit/rollback: name, flags (1: begin
        a new one), then the new one's isolation level and name."""
        r = Reader(payload, self.skip_headers(payload))
        entry = {'conn': self.conn, 'type': 'tran', 'descriptor': self.header_descriptor(payload)}
        try:
            request = r.unpack('<H')
            op = {5: 'begin', 7: 'commit', 8: 'rollback'}.get(request, 'request %d' % request)
            entry['op'] = op
            if request == 5:
                r.unpack('<B')
                r.take(r.unpack('<B') * 2)
                cont = False
            elif request in (7, 8):
                r.take(r.unpack('<B') * 2)
                cont = bool(r.unpack('<B') & 1)
                if cont:
                    r.unpack('<B')
                    r.take(r.unpack('<B') * 2)
                entry['cont'] = cont
        except ValueError:
            request, cont = 0, False
            entry['op'] = 'malformed'
        self.shared.log(entry)
        try:
            if request == 5:
                if self.db.in_transaction:
                    raise SqlError(50000, 'This stand-in does not nest transactions.')
                out = self.begin_transaction()
            elif request in (7, 8):
                out = self.end_transaction(request == 7)
                if cont:
                    out += self.begin_transaction()
            else:
                raise SqlError(50000, 'Transaction manager request %d is not supported by this '
                               'stand-in.' % request)
            self.send_message(out + self.done(TOK_DONE, DONE_FINAL))
        except SqlError as err:
            self.send_message(self.error_tokens(err) + self.done(TOK_DONE, DONE_ERROR))
        except sqlite3.Error as exc:
            err = sqlite_error(exc)
            self.send_message(self.error_tokens(err) + self.done(TOK_DONE, DONE_ERROR))

    # ------------------------------------------------------------ database

    def open_database(self):
        db = sqlite3.connect(self.shared.main, isolation_level=None, timeout=10,
                             check_same_thread=False)
        for name, path in self.shared.schemas:
            db.execute('attach database ? as %s' % quote_ident(name), (path,))
        db.execute('attach database ? as sys', (':memory:',))
        db.execute('create table sys.columns(object_id integer, name text, column_id integer, '
                   'is_computed integer, system_type_id integer, user_type_id integer, '
                   'max_length integer, is_nullable integer)')
        db.execute('create table sys.types(name text, system_type_id integer, '
                   'user_type_id integer)')
        db.executemany('insert into sys.types values (?, ?, ?)',
                       [(n, i, i) for n, i in SYSTEM_TYPE_IDS.items()])
        db.execute('create table sys.tables(object_id integer, name text, schema_name text, '
                   'type text)')
        # The indexes as the server lists them: a heap (index 0) or the clustered primary
        # key (index 1), then the others; a SQLite index stands for a SQL Server one.
        db.execute('create table sys.indexes(object_id integer, name text, index_id integer, '
                   'type integer, type_desc text, is_unique integer, is_primary_key integer, '
                   'is_unique_constraint integer, is_disabled integer, is_hypothetical integer, '
                   'has_filter integer)')
        db.execute('create table sys.index_columns(object_id integer, index_id integer, '
                   'index_column_id integer, column_id integer, key_ordinal integer, '
                   'partition_ordinal integer, is_descending_key integer, '
                   'is_included_column integer)')
        db.execute('create table sys.databases(name text, database_id integer, '
                   'create_date datetime)')
        db.execute('insert into sys.databases values (?, 5, ?)',
                   (self.database, self.shared.created()))
        # A table's own DML triggers, by the table they are on.
        db.execute('create table sys.triggers(object_id integer, name text, parent_id integer, '
                   'type text, is_ms_shipped integer, is_disabled integer)')
        # What the server shows of its files: one data file, one log file.
        db.execute('create temp table sysfiles(fileid smallint, groupid smallint, size int, '
                   'maxsize int, growth int, status int, perf int, name nchar(128), '
                   'filename nvarchar(260))')
        stem = self.database
        db.execute('insert into temp.sysfiles values (1, 1, 1024, -1, 128, 2, 0, ?, ?), '
                   '(2, 0, 256, 268435456, 10, 1048642, 0, ?, ?)',
                   (stem, '/var/opt/mssql/data/%s.mdf' % stem, stem + '_log',
                    '/var/opt/mssql/data/%s_log.ldf' % stem))
        db.create_function('replace', 3, ci_replace, deterministic=True)
        db.create_function('replace_limited', 4, replace_limited, deterministic=True)
        db.create_function('len', 1, sql_len, deterministic=True)
        db.create_function('concat', -1,
                           lambda *parts: ''.join(as_text(p) for p in parts if p is not None),
                           deterministic=True)
        db.create_function('hashbytes', 2, hashbytes, deterministic=True)
        db.create_function('nchar', 1, lambda n: None if n is None else chr(n),
                           deterministic=True)
        db.create_function('type_name', 1, lambda i: SYSTEM_TYPE_NAMES.get(i),
                           deterministic=True)
        # NULLs as empty strings, as the server's concat() takes them.
        db.create_function('concat', -1,
                           lambda *a: ''.join('' if v is None else as_text(v) for v in a),
                           deterministic=True)
        db.create_function('schema_name', 0, lambda: 'dbo')
        db.create_function('db_name', 0, lambda: self.database)
        db.create_function('object_id', 1, self.object_id_of)
        db.create_function('isnull', 2, lambda a, b: b if a is None else a)
        db.create_function('charindex', 2, charindex)
        db.create_function('charindex', 3, charindex)
        db.create_function('getdate', 0,
                           lambda: datetime.datetime.now().strftime('%Y-%m-%d %H:%M:%S.%f')[:-3])
        self.db = db

    def schema_list(self):
        return [('main', 'dbo')] + [(name, name) for name, _ in self.shared.schemas]

    def refresh_catalog(self):
        """sys.columns and the column-size triggers follow the files before each request."""
        versions = tuple(self.db.execute('pragma %s.schema_version' % quote_ident(s)).fetchone()[0]
                         for s, _ in self.schema_list())
        if versions == self.schema_versions:
            return
        tables, columns = [], {}
        for schema, owner in self.schema_list():
            rows = self.db.execute(
                "select name, type from %s.sqlite_master where type in ('table', 'view') "
                "and name not like 'sqlite\\_%%' escape '\\' order by name collate nocase"
                % quote_ident(schema)).fetchall()
            for name, kind in rows:
                tables.append((schema, owner, name, kind))
                columns[(schema, name.lower())] = self.db.execute(
                    'pragma %s.table_xinfo(%s)' % (quote_ident(schema), quote_ident(name))).fetchall()
        self.tables, self.columns = tables, columns
        self.db.execute('delete from sys.columns')
        self.db.execute('delete from sys.tables')
        self.db.execute('delete from sys.indexes')
        self.db.execute('delete from sys.index_columns')
        self.db.execute('delete from sys.triggers')
        for schema, owner, name, kind in tables:
            oid = self.shared.object_id(owner, name)
            self.db.execute('insert into sys.tables values (?, ?, ?, ?)',
                            (oid, name, owner, 'U' if kind == 'table' else 'V'))
            for cid, cname, ctype, notnull, _dflt, _pk, hidden in columns[(schema, name.lower())]:
                if hidden == 1:
                    continue
                type_name, max_length = system_type(ctype)
                type_id = SYSTEM_TYPE_IDS[type_name]
                self.db.execute('insert into sys.columns values (?, ?, ?, ?, ?, ?, ?, ?)',
                                (oid, cname, cid + 1, 1 if hidden in (2, 3) else 0, type_id,
                                 type_id, max_length, 0 if notnull else 1))
            if kind == 'table':
                self.index_catalog(schema, name, oid, columns[(schema, name.lower())])
                for (trigger,) in self.db.execute(
                        "select name from %s.sqlite_master where type = 'trigger' "
                        "and tbl_name = ? collate nocase" % quote_ident(schema), (name,)):
                    self.db.execute("insert into sys.triggers values (?, ?, ?, 'TR', 0, 0)",
                                    (self.shared.object_id(owner, '#trigger ' + trigger), trigger,
                                     oid))
        self.install_size_triggers()
        self.schema_versions = tuple(
            self.db.execute('pragma %s.schema_version' % quote_ident(s)).fetchone()[0]
            for s, _ in self.schema_list())

    def index_catalog(self, schema, name, oid, xinfo):
        """sys.indexes and sys.index_columns rows of one table."""
        column_ids = {row[1].lower(): row[0] + 1 for row in xinfo}
        pk = [row[1] for row in sorted(xinfo, key=lambda r: r[5]) if row[5]]
        # A primary key is clustered unless declared otherwise, which SQLite cannot say.
        indexes = [('PK_' + name, 1, 1, 'CLUSTERED', 1, 1, 0, 0,
                    [(c, 0) for c in pk])] if pk else []
        if not pk:
            self.db.execute('insert into sys.indexes values (?, null, 0, 0, ?, 0, 0, 0, 0, 0, 0)',
                            (oid, 'HEAP'))
        listed = {row[1]: row for row in self.db.execute(
            'pragma %s.index_list(%s)' % (quote_ident(schema), quote_ident(name)))}
        created = self.db.execute(
            "select name from %s.sqlite_master where type = 'index' and tbl_name = ? "
            "order by rowid" % quote_ident(schema), (name,)).fetchall()
        for (index_name,) in created:
            _seq, _n, unique, origin, partial = listed[index_name]
            if origin == 'pk':
                continue
            keys = [(r[2], r[3]) for r in self.db.execute(
                'pragma %s.index_xinfo(%s)' % (quote_ident(schema), quote_ident(index_name)))
                if r[5]]
            if any(c is None for c, _desc in keys):
                continue  # on an expression, which SQL Server indexes only as a computed column
            if origin == 'u':
                # The server names a constraint's index after the table and a number.
                index_name = 'UQ__%s__%016X' % (name[:8], oid * 256 + len(indexes))
            indexes.append((index_name, len(indexes) + (1 if pk else 2), 2, 'NONCLUSTERED',
                            unique, 0, 1 if origin == 'u' else 0, partial, keys))
        for index_name, index_id, itype, desc, unique, is_pk, is_uq, partial, keys in indexes:
            self.db.execute('insert into sys.indexes values (?, ?, ?, ?, ?, ?, ?, ?, 0, 0, ?)',
                            (oid, index_name, index_id, itype, desc, 1 if unique else 0, is_pk,
                             is_uq, 1 if partial else 0))
            for n, (column, descending) in enumerate(keys):
                self.db.execute('insert into sys.index_columns values (?, ?, ?, ?, ?, 0, ?, 0)',
                                (oid, index_id, n + 1, column_ids[column.lower()], n + 1,
                                 1 if descending else 0))

    def install_size_triggers(self):
        # SQL Server refuses to store more than n characters in [n]varchar(n)/[n]char(n)
        # (error 8152); temporary triggers of this connection do the same here.
        for (name,) in self.db.execute(
                "select name from temp.sqlite_master where type = 'trigger' "
                "and name like 'standin\\_size\\_%' escape '\\'").fetchall():
            self.db.execute('drop trigger temp.%s' % quote_ident(name))
        for n, (schema, owner, name, kind) in enumerate(self.tables):
            if kind != 'table':
                continue
            checks = []
            for _cid, cname, ctype, _nn, _d, _pk, hidden in self.columns[(schema, name.lower())]:
                col = col_from_decl(cname, ctype)
                if hidden == 0 and col and col.kind in ('varchar', 'char', 'nvarchar', 'nchar'):
                    checks.append((cname, col.size))
            self.install_padding(n, schema, name)
            if not checks:
                continue
            cond = ' or '.join('length(new.%s) > %d' % (quote_ident(c), size) for c, size in checks)
            cols = ', '.join(quote_ident(c) for c, _ in checks)
            for event, what in (('insert', 'insert'), ('update', 'update of ' + cols)):
                self.db.execute(
                    "create temp trigger %s before %s on %s.%s when %s begin "
                    "select raise(abort, '%s'); end"
                    % (quote_ident('standin_size_%d_%s' % (n, event)), what, quote_ident(schema),
                       quote_ident(name), cond, TRUNCATED))

    def install_padding(self, n, schema, name):
        """SQL Server keeps a char(n) or nchar(n) value padded with spaces to its length:
        what this connection writes there is padded so (a test file's rows are written as
        the server would keep them)."""
        sql = self.db.execute('select sql from %s.sqlite_master where type = ? and name = ?'
                              % quote_ident(schema), ('table', name)).fetchone()
        if not sql or re.search(r'without\s+rowid', sql[0] or '', re.I):
            return
        # A trigger's update names its table bare, which finds the main schema's first.
        if schema != 'main' and any(s == 'main' and t.lower() == name.lower()
                                    for s, _o, t, _k in self.tables):
            return
        for k, (_cid, cname, ctype, _nn, _d, _pk, hidden) in enumerate(
                self.columns[(schema, name.lower())]):
            col = col_from_decl(cname, ctype)
            if hidden != 0 or not col or col.kind not in ('char', 'nchar'):
                continue
            c = quote_ident(cname)
            for event, what in (('insert', 'insert'), ('update', 'update of ' + c)):
                self.db.execute(
                    "create temp trigger %s after %s on %s.%s when length(new.%s) < %d begin "
                    "update %s set %s = new.%s || printf('%%*s', %d - length(new.%s), '') "
                    "where rowid = new.rowid; end"
                    % (quote_ident('standin_size_pad_%d_%d_%s' % (n, k, event)), what,
                       quote_ident(schema), quote_ident(name), c, col.size, quote_ident(name), c,
                       c, col.size, c))

    def object_id_of(self, text):
        if text is None:
            return None
        sig = significant(tokenize(as_text(text)))
        ref = parse_table_ref(sig, 0)
        if not ref or ref[2] != len(sig):
            return None
        owner, name = ref[0] or 'dbo', ref[1]
        for _schema, o, n, _kind in self.tables:
            if o.lower() == owner.lower() and n.lower() == name.lower():
                return self.shared.object_id(o, n)
        return None

    def resolve_table(self, schema, name):
        """(sqlite schema, owner, name) of a table reference, or None."""
        wanted = None if schema is None else schema.lower()
        if wanted in ('dbo', 'main'):
            wanted = 'dbo'
        for s, owner, n, _kind in self.tables:
            if n.lower() == name.lower() and (wanted is None and s == 'main' or
                                              wanted is not None and owner.lower() == wanted):
                return s, owner, n
        if wanted is None:
            row = self.db.execute("select name from temp.sqlite_master where type = 'table' and "
                                  "name = ? collate nocase", (name,)).fetchone()
            if row:
                return 'temp', 'dbo', row[0]
        return None

    def table_columns(self, schema, owner, name):
        """The SQL Server columns of a table, generated ones included."""
        if schema == 'temp':
            rows = self.db.execute('pragma temp.table_xinfo(%s)' % quote_ident(name)).fetchall()
        else:
            rows = self.columns.get((schema, name.lower()), [])
        cols = []
        for _cid, cname, ctype, notnull, _d, _pk, hidden in rows:
            if hidden == 1:
                continue
            cols.append((cname, col_from_decl(cname, ctype, owner, name, bool(notnull),
                                              hidden in (2, 3))))
        return cols

    # ------------------------------------------------------------ translation

    def translate(self, tokens, params):
        """What SQLite cannot parse, rewritten: N'' literals, (n)varchar(max) casts, @P
        parameters, dbo, T-SQL spellings; and REPLACE on sized columns limited.
        Returns (sql, bind values)."""
        sig_index = [i for i, t in enumerate(tokens) if t.kind not in ('ws', 'comment')]
        sig = [tokens[i] for i in sig_index]
        limits = self.replace_limits(tokens, sig, params)
        match = matching_parens(tokens)
        close_limit = {match[p]: lim for p, lim in limits.items() if p in match}
        out, binds = [], []
        skip_until = -1
        # SELECT TOP n ...: SQLite's LIMIT n at the end.
        top = None
        if len(sig) > 2 and sig[0].word() == 'select' and sig[1].word() == 'top' and \
                sig[2].text.isdigit():
            top = (sig_index[1], sig_index[2], sig[2].text)
        for i, t in enumerate(tokens):
            if i < skip_until:
                continue
            if top and top[0] <= i <= top[1]:
                continue
            if t.kind == 'nstr':
                out.append(t.text[1:])
                continue
            if t.kind == 'word' and t.text.startswith('#'):
                # A temporary table: the connection's own, in SQLite's temp schema.
                out.append('temp.' + quote_ident(t.text))
                continue
            if t.kind == 'br' and ']' in t.ident():
                # SQLite's brackets end at the first "]": SQL Server's "]]" is
                # one "]" of the name.
                out.append(quote_ident(t.ident()))
                continue
            if t.text == '+' and self.joins_strings(tokens, i):
                out.append('||')
                continue
            w = t.word()
            if w == 'with' and self.table_hints(tokens, i):
                # Locks held to the end of the transaction: a read in a SQLite
                # transaction already keeps other writers out until it ends.
                skip_until = matching_parens(tokens)[next_sig(tokens, i)] + 1
                continue
            if w in ('varchar', 'nvarchar', 'varbinary'):
                j = next_sig(tokens, i)
                if j < len(tokens) and tokens[j].text == '(':
                    k = next_sig(tokens, j)
                    m = next_sig(tokens, k)
                    if k < len(tokens) and tokens[k].word() == 'max' and m < len(tokens) and \
                            tokens[m].text == ')':
                        # A cast gives text; a column definition keeps its type, spelled
                        # in a way SQLite accepts.
                        before = [x for x in out if x.strip()]
                        cast = bool(before) and before[-1].lower() == 'as'
                        if w == 'varbinary':
                            out.append('blob' if cast else t.text)
                        else:
                            out.append('text' if cast else t.text + '(-1)')
                        skip_until = m + 1
                        continue
            if t.ident() is not None and t.ident().lower() == 'dbo' and \
                    i + 1 < len(tokens) and tokens[i + 1].text == '.':
                out.append('main')
                continue
            if w == 'tran':
                out.append('transaction')
                continue
            if w == 'offset':
                # OFFSET n ROWS FETCH NEXT m ROWS ONLY: SQLite's LIMIT m OFFSET n.
                seq, j = [], i
                for _ in range(7):
                    j = next_sig(tokens, j)
                    if j >= len(tokens):
                        break
                    seq.append(j)
                words = [tokens[k].word() or tokens[k].text for k in seq]
                if len(seq) == 7 and words[0].isdigit() and words[1] in ('row', 'rows') and \
                        words[2] == 'fetch' and words[3] in ('next', 'first') and \
                        words[4].isdigit() and words[5] in ('row', 'rows') and words[6] == 'only':
                    out.append('limit %s offset %s' % (words[4], words[0]))
                    skip_until = seq[6] + 1
                    continue
            if t.kind == 'var':
                out.append(self.variable(t.text, params, binds))
                continue
            if w == 'replace':
                j = next_sig(tokens, i)
                if j in limits:
                    out.append('replace_limited')
                    continue
            if i in close_limit:
                out.append(', %d)' % close_limit[i])
                continue
            out.append(t.text)
        sql = ''.join(out)
        if top:
            sql = sql.rstrip().rstrip(';') + ' limit ' + top[2]
        return sql, binds

    def joins_strings(self, tokens, i):
        """Whether the + at i joins strings (a literal, char(), nchar() or a cast to a
        character type either side), which SQLite spells ||."""
        def is_text_call(open_at):
            k = open_at - 1
            while k >= 0 and tokens[k].kind in ('ws', 'comment'):
                k -= 1
            return k >= 0 and tokens[k].word() in ('char', 'nchar', 'cast')
        k = i - 1
        while k >= 0 and tokens[k].kind in ('ws', 'comment'):
            k -= 1
        if k >= 0 and tokens[k].kind in ('str', 'nstr'):
            return True
        if k >= 0 and tokens[k].text == ')':
            opens = {v: o for o, v in matching_parens(tokens).items()}
            if k in opens and is_text_call(opens[k]):
                return True
        j = next_sig(tokens, i)
        return j < len(tokens) and (tokens[j].kind in ('str', 'nstr') or
                                    tokens[j].word() in ('char', 'nchar'))

    def table_hints(self, tokens, i):
        """Whether the WITH at i opens a table's hints (after the table's name); refuses
        a hint SQL Server does not know, as it does."""
        j = next_sig(tokens, i)
        before = [t for t in tokens[:i] if t.kind not in ('ws', 'comment')]
        if j >= len(tokens) or tokens[j].text != '(' or not before or \
                before[-1].kind not in ('word', 'br', 'dq') or before[-1].word() == 'as':
            return False
        close = matching_parens(tokens).get(j)
        for t in significant(tokens[j + 1:close]):
            if t.text == ',':
                continue
            if t.word() not in TABLE_HINTS:
                raise SqlError(321, '"%s" is not a recognized table hints option. If it is '
                               'intended as a parameter to a table-valued function or to the '
                               'CHANGETABLE function, ensure that your database compatibility '
                               'mode is set to 90.' % t.text, 15)
        return True

    def variable(self, name, params, binds):
        low = name.lower()
        if low.startswith('@@'):
            values = {'@@version': "'Microsoft SQL Server 2019 (stand-in for tests)'",
                      '@@spid': str(50 + self.conn), '@@rowcount': 'changes()',
                      '@@identity': 'last_insert_rowid()',
                      '@@trancount': '1' if self.db.in_transaction else '0',
                      '@@servername': "'%s'" % self.server_name.replace("'", "''"),
                      '@@error': '0'}
            return values.get(low, 'null')
        if low in params:
            binds.append(params[low][1])
            return '?'
        raise SqlError(137, 'Must declare the scalar variable "%s".' % name, 15, 2)

    def replace_limits(self, tokens, sig, params):
        """REPLACE's result type is its first argument's: varchar(n) up to 8000 gives at most
        8000 characters, nvarchar (an N'' literal or an nvarchar parameter or column among
        the arguments) at most 4000; only a (max)/text first argument is unlimited. So
        UPDATE T SET v = Replace(v, N'a', N'b') on a varchar(5000) value of 4,500 characters
        keeps 4,000 of them, as SQL Server does, while Replace(cast(v as varchar(max)), ...)
        keeps all. SQLite functions cannot see declared types, so the limit is decided here
        from the table's declared column types and passed to replace_limited().
        Returns {index of the call's '(' in tokens: limit}."""
        target = self.statement_table(sig)
        if target is None:
            return {}
        types = {cname.lower(): col for cname, col in self.table_columns(*target) if col}
        match = matching_parens(tokens)
        calls = []
        for i, t in enumerate(tokens):
            if t.word() == 'replace':
                p = next_sig(tokens, i)
                if p < len(tokens) and tokens[p].text == '(' and p in match:
                    calls.append(p)
        limits = {}
        for p in sorted(calls, reverse=True):  # inner calls first
            q = match[p]
            inner = [k for k in range(p + 1, q) if tokens[k].kind not in ('ws', 'comment')]
            depth, first = 0, []
            for k in inner:
                tk = tokens[k]
                if tk.text == '(':
                    depth += 1
                elif tk.text == ')':
                    depth -= 1
                elif tk.text == ',' and depth == 0:
                    break
                first.append(k)
            wide_arg = any(tokens[k].kind == 'nstr' or (
                tokens[k].kind == 'var' and params.get(tokens[k].text.lower(), ('',))[0].lower()
                .startswith('n')) for k in inner)
            limit = None
            firsts = [tokens[k] for k in first]
            ref = parse_table_ref(firsts, 0)
            if ref and ref[2] == len(firsts):
                col = types.get(ref[1].lower())
                if col and col.kind in ('varchar', 'char'):
                    limit = 4000 if wide_arg else 8000
                elif col and col.kind in ('nvarchar', 'nchar'):
                    limit = 4000
            elif firsts and firsts[0].word() == 'replace':
                nested = next_sig(tokens, first[0])
                if nested in limits:
                    limit = min(limits[nested], 4000 if wide_arg else 8000)
            if limit is not None:
                limits[p] = limit
        return limits

    def statement_table(self, sig):
        """The table an UPDATE changes, or the one table a SELECT/DELETE reads."""
        if not sig:
            return None
        w = sig[0].word()
        if w == 'update':
            ref = parse_table_ref(sig, 1)
        else:
            ref = None
            depth = 0
            for i, t in enumerate(sig):
                if t.text == '(':
                    depth += 1
                elif t.text == ')':
                    depth -= 1
                elif depth == 0 and t.word() == 'from':
                    ref = parse_table_ref(sig, i + 1)
                    if ref and ref[2] < len(sig) and (sig[ref[2]].text == ',' or
                                                      sig[ref[2]].word() in ('join', 'inner',
                                                                             'left', 'cross')):
                        return None
                    break
        if not ref:
            return None
        return self.resolve_table(ref[0], ref[1])

    # ------------------------------------------------------------ execution

    def run_batch(self, text, params, in_proc):
        """Runs every statement; returns the tokens, DONE or DONEINPROC after each."""
        statements = split_statements(text)
        done_token = TOK_DONEINPROC if in_proc else TOK_DONE
        parts = []  # (tokens, status, cmd, count)
        try:
            for stmt in statements:
                check_identifier_lengths(stmt)
        except SqlError as err:
            # A parse error: nothing of the batch runs.
            return self.error_tokens(err) + \
                (b'' if in_proc else self.done(TOK_DONE, DONE_ERROR)), False
        for stmt in statements:
            try:
                parts.append(self.run_statement(stmt, params))
            except SqlError as err:
                return self.finish(parts, done_token, in_proc) + self.error_tokens(err) + \
                    (b'' if in_proc else self.done(TOK_DONE, DONE_ERROR)), False
            except sqlite3.Error as exc:
                err = sqlite_error(exc)
                return self.finish(parts, done_token, in_proc) + self.error_tokens(err) + \
                    (b'' if in_proc else self.done(TOK_DONE, DONE_ERROR)), False
        if not parts and not in_proc:
            return self.done(TOK_DONE, DONE_FINAL), True
        out = self.finish(parts, done_token, in_proc, last_final=not in_proc)
        return out, True

    def finish(self, parts, token, in_proc, last_final=False):
        out = []
        for n, (tokens, status, cmd, count) in enumerate(parts):
            more = not (last_final and n == len(parts) - 1)
            out.append(tokens + self.done(token, status | (DONE_MORE if more else 0), cmd, count))
        return b''.join(out)

    def run_statement(self, tokens, params):
        self.hold_writes()
        sig = significant(tokens)
        first = sig[0].word() if sig else None
        text = ''.join(t.text for t in tokens).strip()
        lowered = ' '.join(t.text.lower() for t in sig)
        if first == 'dump':
            # Gone from the language: DUMP TRANSACTION no longer parses.
            word = sig[1].text if len(sig) > 1 else 'dump'
            raise SqlError(102, "Incorrect syntax near '%s'." % word, 15)
        if first == 'backup':
            for option in ('no_log', 'truncate_only'):
                for t in sig:
                    if t.word() == option:
                        raise SqlError(155, "'%s' is not a recognized BACKUP option." % t.text,
                                       15)
            return b'', 0, 0, 0
        if first == 'dbcc':
            return self.run_dbcc(sig), 0, 0, 0
        if first in ('exec', 'execute'):
            ref = parse_table_ref(sig, 1)
            if not ref:
                raise SqlError(102, "Incorrect syntax near '%s'." % sig[0].text, 15)
            proc = ref[1].lower()
            args = parse_exec_args(sig[ref[2]:])
            return self.run_catalog_proc(proc, ref[1], args), 0, 0, 0
        if first == 'set':
            return b'', 0, 0, 0
        if first == 'use' and len(sig) > 1:
            old, self.database = self.database, sig[1].ident() or sig[1].text
            return self.envchange(1, self.database, old), 0, 0, 0
        m = re.match(r'^if @@trancount > 0 (commit|rollback)( (?:tran|transaction))?'
                     r'( begin (?:tran|transaction))?$', lowered)
        if first == 'if' and m:
            # What FreeTDS sends for SQLEndTran before TDS 7.2 (tds_submit_commit() and
            # tds_submit_rollback() in query.c).
            out = b''
            if self.db.in_transaction:
                out = self.end_transaction(m.group(1) == 'commit')
            if m.group(3):
                out += self.begin_transaction()
            return out, 0, 0, 0
        words = [t.word() for t in sig]
        if words in (['begin', 'tran'], ['begin', 'transaction']):
            if self.db.in_transaction:
                raise SqlError(50000, 'This stand-in does not nest transactions.')
            return self.begin_transaction(), 0, 0, 0
        if words[:1] in (['commit'], ['rollback']) and len(words) <= 2 and \
                words[1:] in ([], ['tran'], ['transaction'], ['work']):
            return self.end_transaction(first == 'commit'), 0, 0, 0
        check_no_row_values(sig)
        tokens = temp_table_forms(tokens)
        sql, binds = self.translate(tokens, params)
        cur = self.db.cursor()
        try:
            cur.execute(sql, binds)
            change = self.statement_transaction(first)
            if cur.description is not None:
                rows = cur.fetchall()
                cols = self.describe(sig, cur.description, rows)
                return change + self.result_set(cols, rows), DONE_COUNT, CMD_SELECT, len(rows)
            cmd = {'insert': CMD_INSERT, 'update': CMD_UPDATE, 'delete': CMD_DELETE}.get(first)
            if cmd and cur.rowcount >= 0:
                return change, DONE_COUNT, cmd, cur.rowcount
            return change, 0, 0, 0
        finally:
            cur.close()

    def describe(self, sig, description, rows):
        """Types of a result: a column straight from the one table read keeps its declared
        type; expressions are typed from their values."""
        names = [d[0] for d in description]
        declared = [None] * len(names)
        items = select_items(sig)
        target = self.statement_table(sig) if items is not None else None
        if items is not None:
            table_cols = self.table_columns(*target) if target else []
            by_name = {n.lower(): c for n, c in table_cols}
            expanded = []
            for item in items:
                if len(item) == 1 and item[0].text == '*' or \
                        len(item) >= 3 and item[-1].text == '*' and item[-2].text == '.':
                    expanded += [('col', n) for n, _c in table_cols] if target else [('?', None)]
                else:
                    expanded.append(classify_item(item))
            if len(expanded) == len(names):
                for i, (kind, value) in enumerate(expanded):
                    if kind == 'col' and value is not None and value.lower() in by_name:
                        declared[i] = by_name[value.lower()]
                    elif kind == 'expr':
                        names[i] = ''  # SQL Server leaves an unnamed expression unnamed
        cols = []
        for i, name in enumerate(names):
            values = [r[i] for r in rows]
            col = declared[i]
            if col is not None and fits(col, values):
                c = Col(name, col.kind, col.size, col.owner, col.table, col.nullable, col.computed,
                        col.updatable)
                cols.append(c)
            else:
                cols.append(inferred_col(name, values))
        return cols

    def run_dbcc(self, sig):
        what = sig[1].word() if len(sig) > 1 else ''
        out = b''
        cols = [Col('DbId', 'int', 2), Col('FileId', 'int', 4), Col('CurrentSize', 'int', 4),
                Col('MinimumSize', 'int', 4), Col('UsedPages', 'int', 4),
                Col('EstimatedPages', 'int', 4)]
        for c in cols:
            c.nullable = False
        if what == 'shrinkdatabase':
            out = self.result_set(cols, [(5, 1, 1024, 1024, 416, 416), (5, 2, 256, 256, 256, 256)])
            out += self.done(TOK_DONEINPROC, DONE_COUNT | DONE_MORE, CMD_SELECT, 2)
        elif what == 'shrinkfile':
            out = self.result_set(cols, [(5, 1, 1024, 1024, 416, 416)])
            out += self.done(TOK_DONEINPROC, DONE_COUNT | DONE_MORE, CMD_SELECT, 1)
        out += self.message_token(TOK_INFO, 2528, 'DBCC execution completed. If DBCC printed error '
                                  'messages, contact your system administrator.', 10)
        return out

    # ------------------------------------------------------------ procedures

    def run_catalog_proc(self, proc, spelled, args):
        name = proc.split('.')[-1]
        if name in ('sp_tables', 'sp_tableswc'):
            return self.sp_tables(args)
        if name == 'sp_pkeys':
            return self.sp_pkeys(args)
        raise SqlError(2812, "Could not find stored procedure '%s'." % spelled, 16, 62)

    def sp_tables(self, args):
        names = ['table_name', 'table_owner', 'table_qualifier', 'table_type']
        a = named_args(args, names)
        table, owner, qualifier, types = (a.get(n) for n in names)
        cols = [Col('TABLE_QUALIFIER', 'nvarchar', 128), Col('TABLE_OWNER', 'nvarchar', 128),
                Col('TABLE_NAME', 'nvarchar', 128), Col('TABLE_TYPE', 'varchar', 32),
                Col('REMARKS', 'varchar', 254)]
        if qualifier == '%' and not table and not owner:
            return self.result_set(cols, [(self.database, None, None, None, None)]) + self.done(
                TOK_DONEINPROC, DONE_COUNT | DONE_MORE, CMD_SELECT, 1)
        wanted = None
        if types:
            wanted = {t.strip().strip("'").strip().upper() for t in types.split(',')}
        rows = []
        for _schema, o, n, kind in self.tables:
            ttype = 'TABLE' if kind == 'table' else 'VIEW'
            if wanted is not None and ttype not in wanted:
                continue
            if table and not like(n, table) or owner and not like(o, owner):
                continue
            if qualifier and not like(self.database, qualifier):
                continue
            rows.append((self.database, o, n, ttype, None))
        # dbo first, then the other schemas by name; within one, tables by name.
        rows.sort(key=lambda r: (r[3], r[1].lower() != 'dbo', r[1].lower(), r[2].lower()))
        return self.result_set(cols, rows) + self.done(TOK_DONEINPROC, DONE_COUNT | DONE_MORE,
                                                       CMD_SELECT, len(rows))

    def sp_pkeys(self, args):
        names = ['table_name', 'table_owner', 'table_qualifier']
        a = named_args(args, names)
        table, owner = a.get('table_name'), a.get('table_owner')
        cols = [Col('TABLE_QUALIFIER', 'nvarchar', 128), Col('TABLE_OWNER', 'nvarchar', 128),
                Col('TABLE_NAME', 'nvarchar', 128), Col('COLUMN_NAME', 'nvarchar', 128),
                Col('KEY_SEQ', 'int', 2), Col('PK_NAME', 'nvarchar', 128)]
        rows = []
        if table:
            for schema, o, n, kind in self.tables:
                if kind != 'table' or n.lower() != table.lower():
                    continue
                if owner and o.lower() != owner.lower():
                    continue
                info = self.db.execute('pragma %s.table_info(%s)' % (quote_ident(schema),
                                                                      quote_ident(n))).fetchall()
                for _cid, cname, _t, _nn, _d, pk in sorted(info, key=lambda r: r[5]):
                    if pk:
                        rows.append((self.database, o, n, cname, pk, 'PK_' + n))
        rows.sort(key=lambda r: (r[1].lower() != 'dbo', r[1].lower(), r[2].lower(), r[4]))
        return self.result_set(cols, rows) + self.done(TOK_DONEINPROC, DONE_COUNT | DONE_MORE,
                                                       CMD_SELECT, len(rows))

    def on_rpc(self, payload):
        calls = parse_rpc(payload, self.skip_headers(payload))
        texts = []
        for proc, params in calls:
            self.shared.log({'conn': self.conn, 'type': 'rpc', 'proc': proc,
                             'params': [log_value(p['value']) for p in params],
                             'descriptor': self.header_descriptor(payload)})
            texts.append(proc)
            texts += [as_text(p['value']) for p in params if p['value'] is not None]
            if proc == 'sp_execute' and params and params[0]['value'] in self.prepared:
                texts.append(self.prepared[params[0]['value']][1])

        def action():
            out = []
            for n, (proc, params) in enumerate(calls):
                out.append(self.run_rpc(proc, params, n == len(calls) - 1))
            return b''.join(out)

        self.serve_request('\n'.join(texts), action)

    def run_rpc(self, proc, params, last):
        values = [p['value'] for p in params]
        outputs = []
        ok = True
        name = proc.lower().split('.')[-1]
        try:
            if name == 'sp_executesql':
                stmt = as_text(values[0]) if values else ''
                decl = as_text(values[1]) if len(values) > 1 and values[1] is not None else ''
                body, ok = self.run_batch(stmt, bind_params(decl, params[2:]), in_proc=True)
            elif name in ('sp_prepexec', 'sp_prepare'):
                decl = as_text(values[1]) if len(values) > 1 and values[1] is not None else ''
                stmt = as_text(values[2]) if len(values) > 2 else ''
                handle = self.next_handle
                self.next_handle += 1
                self.prepared[handle] = (decl, stmt)
                if name == 'sp_prepexec':
                    body, ok = self.run_batch(stmt, bind_params(decl, params[3:]), in_proc=True)
                else:
                    options = values[3] if len(values) > 3 and values[3] is not None else 0
                    body = self.prepare_metadata(stmt, decl) if int(options) & 1 else b''
                outputs.append(handle)
            elif name == 'sp_execute':
                handle = values[0] if values else None
                if handle not in self.prepared:
                    raise SqlError(8179, 'Could not find prepared statement with handle %s.'
                                   % handle)
                decl, stmt = self.prepared[handle]
                body, ok = self.run_batch(stmt, bind_params(decl, params[1:]), in_proc=True)
            elif name == 'sp_unprepare':
                self.prepared.pop(values[0] if values else None, None)
                body = b''
            else:
                args = [(p['name'].lstrip('@').lower() or None, p['value']) for p in params]
                body = self.run_catalog_proc(name, proc, args)
        except SqlError as err:
            body, ok = self.error_tokens(err), False
        except sqlite3.Error as exc:
            body, ok = self.error_tokens(sqlite_error(exc)), False
        out = body + u8(TOK_RETURNSTATUS) + i32(0 if ok else -6)
        for n, value in enumerate(outputs):
            rv = u16(n) + b_varchar('') + u8(1) + u32(0) + u16(0) + u8(0x26) + u8(4)
            rv += u8(4) + i32(value)
            out += u8(TOK_RETURNVALUE) + rv
        status = (0 if last else DONE_MORE) | (0 if ok else DONE_ERROR)
        return out + self.done(TOK_DONEPROC, status)

    def prepare_metadata(self, stmt, decl):
        """The columns a prepared SELECT will return (sp_prepare's RETURN_METADATA)."""
        pieces = split_statements(stmt)
        if len(pieces) != 1 or significant(pieces[0])[0].word() != 'select':
            return b''
        params = {n.lower(): (t, None) for n, t in parse_declarations(decl)}
        sql, binds = self.translate(pieces[0], params)
        cur = self.db.cursor()
        try:
            cur.execute(sql, binds)
            rows = cur.fetchall()
            cols = self.describe(significant(pieces[0]), cur.description, rows)
        finally:
            cur.close()
        return u8(TOK_COLMETADATA) + u16(len(cols)) + b''.join(c.metadata() for c in cols)


# ---------------------------------------------------------------- helpers

def quote_ident(name):
    return '"%s"' % name.replace('"', '""')


def like(value, pattern):
    """SQL Server LIKE with % _ and [..], case-insensitive."""
    rx, i = [], 0
    while i < len(pattern):
        c = pattern[i]
        if c == '%':
            rx.append('.*')
        elif c == '_':
            rx.append('.')
        elif c == '[':
            end = pattern.find(']', i + 1)
            if end < 0:
                rx.append(re.escape(c))
            else:
                body = pattern[i + 1:end]
                rx.append('[' + ('^' + re.escape(body[1:]) if body.startswith('^')
                                 else re.escape(body)) + ']')
                i = end
        else:
            rx.append(re.escape(c))
        i += 1
    return re.fullmatch(''.join(rx), value, re.I | re.S) is not None


def select_items(sig):
    """The select list of a plain SELECT, as token lists, or None."""
    if not sig or sig[0].word() != 'select':
        return None
    i = 1
    if i < len(sig) and sig[i].word() in ('distinct', 'all'):
        i += 1
    if i < len(sig) and sig[i].word() == 'top':
        i += 2
    items, current, depth = [], [], 0
    while i < len(sig):
        t = sig[i]
        if t.text == '(':
            depth += 1
        elif t.text == ')':
            depth -= 1
        if depth == 0 and (t.word() in ('from', 'where', 'order', 'group', 'union', 'limit')
                           or t.text == ';'):
            break
        if depth == 0 and t.text == ',':
            items.append(current)
            current = []
        else:
            current.append(t)
        i += 1
    items.append(current)
    return items


def classify_item(item):
    """('col', source column) for a column reference, aliased or not; ('alias', None) for a
    named expression; ('expr', None) for an unnamed one."""
    ref = parse_table_ref(item, 0)
    if ref and ref[2] == len(item):
        return 'col', ref[1]
    if len(item) >= 2 and item[-1].kind in ('word', 'br', 'dq') and (
            item[-2].word() == 'as' or item[-2].text == ')' or
            item[-2].kind in ('word', 'br', 'dq', 'str', 'nstr', 'num')):
        body = item[:-2] if item[-2].word() == 'as' else item[:-1]
        ref = parse_table_ref(body, 0)
        if ref and ref[2] == len(body):
            return 'col', ref[1]
        return 'alias', None
    return 'expr', None


def parse_exec_args(sig):
    """EXEC arguments: [(name or None, value)]."""
    args, i = [], 0
    while i < len(sig):
        name = None
        if sig[i].kind == 'var' and i + 1 < len(sig) and sig[i + 1].text == '=':
            name = sig[i].text.lstrip('@').lower()
            i += 2
        if i >= len(sig):
            break
        args.append((name, literal_value(sig[i])))
        i += 1
        while i < len(sig) and sig[i].text != ',':
            i += 1
        i += 1
    return args


def named_args(args, order):
    out, position = {}, 0
    for name, value in args:
        if name is None:
            if position < len(order):
                out[order[position]] = value
            position += 1
        else:
            out[name] = value
    return {k: (as_text(v) if v is not None else None) for k, v in out.items()}


def parse_declarations(decl):
    """'@P1 varchar(4000),@P2 int' -> [('@P1', 'varchar(4000)'), ('@P2', 'int')]."""
    out, depth, current = [], 0, ''
    for c in decl or '':
        if c == '(':
            depth += 1
        elif c == ')':
            depth -= 1
        if c == ',' and depth == 0:
            out.append(current)
            current = ''
        else:
            current += c
    out.append(current)
    result = []
    for part in out:
        part = part.strip()
        if not part:
            continue
        name, _, kind = part.partition(' ')
        kind = re.sub(r'\s+(output|out)$', '', kind.strip(), flags=re.I)
        result.append((name, kind))
    return result


def bind_params(decl, params):
    """{'@p1': (declared type, value)}: values go to the declared names in order."""
    out = {}
    for n, (name, kind) in enumerate(parse_declarations(decl)):
        value = None
        if n < len(params):
            value = params[n]['value']
            if params[n]['name']:
                for p in params:
                    if p['name'].lower() == name.lower():
                        value = p['value']
        out[name.lower()] = (kind, value)
    return out


def log_value(v):
    if v is None:
        return None
    if isinstance(v, (bytes, bytearray)):
        return bytes(v).hex()
    return as_text(v)


def sqlite_error(exc):
    text = str(exc)
    m = re.match(r'no such table: (?:main\.)?(.*)', text)
    if m:
        return SqlError(208, "Invalid object name '%s'." % m.group(1))
    m = re.match(r'no such column: (.*)', text)
    if m:
        return SqlError(207, "Invalid column name '%s'." % m.group(1))
    m = re.match(r'near "(.*)": syntax error', text, re.S)
    if m:
        return SqlError(102, "Incorrect syntax near '%s'." % m.group(1), 15)
    if text in ('incomplete input',) or text.startswith('unrecognized token'):
        return SqlError(102, 'Incorrect syntax near the end of the statement.', 15)
    terminated = (3621, 'The statement has been terminated.', 0)
    if text.startswith(TRUNCATED):
        return SqlError(8152, TRUNCATED, 16, 14, [terminated])
    if isinstance(exc, sqlite3.IntegrityError):
        kind = getattr(exc, 'sqlite_errorname', '')
        if kind == 'SQLITE_CONSTRAINT_TRIGGER':
            # A trigger refusing the change: its message, then the batch is aborted.
            return SqlError(50000, text, 16, 1,
                            [(3609, 'The transaction ended in the trigger. The batch has been '
                              'aborted.', 16)])
        if kind == 'SQLITE_CONSTRAINT_NOTNULL':
            return SqlError(515, 'Cannot insert the value NULL into column: %s.' % text, 16, 2,
                            [terminated])
        if kind in ('SQLITE_CONSTRAINT_UNIQUE', 'SQLITE_CONSTRAINT_PRIMARYKEY'):
            return SqlError(2627, 'Violation of PRIMARY KEY or UNIQUE KEY constraint: %s.' % text,
                            14, 1, [terminated])
        return SqlError(547, 'The statement conflicted with a constraint: %s.' % text, 16, 0,
                        [terminated])
    return SqlError(50000, text)


# ---------------------------------------------------------------- RPC parsing

class Reader:
    def __init__(self, data, pos):
        self.data = data
        self.pos = pos

    def take(self, n):
        if self.pos + n > len(self.data):
            raise ValueError('truncated request')
        out = self.data[self.pos:self.pos + n]
        self.pos += n
        return out

    def unpack(self, fmt):
        size = struct.calcsize(fmt)
        return struct.unpack(fmt, self.take(size))[0]

    def at_end(self):
        return self.pos >= len(self.data)


FIXED_TYPES = {0x30: ('int', 1), 0x32: ('bit', 1), 0x34: ('int', 2), 0x38: ('int', 4),
               0x7F: ('int', 8), 0x3B: ('float4', 4), 0x3E: ('float', 8), 0x3D: ('datetime', 8),
               0x3A: ('smalldatetime', 4), 0x3C: ('money', 8), 0x7A: ('money', 4),
               0x1F: ('null', 0)}


def parse_rpc(payload, pos):
    r = Reader(payload, pos)
    calls = []
    while not r.at_end():
        length = r.unpack('<H')
        if length == 0xFFFF:
            pid = r.unpack('<H')
            proc = PROC_IDS.get(pid, 'proc#%d' % pid)
        else:
            proc = r.take(length * 2).decode('utf-16-le', 'surrogatepass')
        r.unpack('<H')  # option flags
        params = []
        while not r.at_end():
            if r.data[r.pos] in (0x80, 0xFF):  # batch separator: another RPC follows
                r.pos += 1
                break
            name = r.take(r.unpack('<B') * 2).decode('utf-16-le', 'surrogatepass')
            status = r.unpack('<B')
            value = read_param_value(r)
            params.append({'name': name, 'status': status, 'value': value})
        calls.append((proc, params))
    return calls


def read_param_value(r):
    t = r.unpack('<B')
    if t in FIXED_TYPES:
        kind, size = FIXED_TYPES[t]
        return decode_fixed(kind, r.take(size), size)
    if t in (0x26, 0x68, 0x6D, 0x6E, 0x6F, 0x24):  # INTN BITN FLTN MONEYN DATETIMN GUID
        r.unpack('<B')
        n = r.unpack('<B')
        if n == 0:
            return None
        data = r.take(n)
        kind = {0x26: 'int', 0x68: 'bit', 0x6D: 'float' if n == 8 else 'float4', 0x6E: 'money',
                0x6F: 'datetime' if n == 8 else 'smalldatetime', 0x24: 'guid'}[t]
        return decode_fixed(kind, data, n)
    if t in (0x6A, 0x6C):  # DECIMALN NUMERICN
        r.unpack('<B')
        r.unpack('<B')
        scale = r.unpack('<B')
        n = r.unpack('<B')
        if n == 0:
            return None
        data = r.take(n)
        value = int.from_bytes(data[1:], 'little') * (1 if data[0] else -1)
        return value if scale == 0 else value / (10 ** scale)
    if t == 0x28:  # DATE
        n = r.unpack('<B')
        if n == 0:
            return None
        days = int.from_bytes(r.take(n), 'little')
        return (datetime.date(1, 1, 1) + datetime.timedelta(days=days)).isoformat()
    if t in (0x29, 0x2A, 0x2B):  # TIME DATETIME2 DATETIMEOFFSET
        scale = r.unpack('<B')
        n = r.unpack('<B')
        if n == 0:
            return None
        data = r.take(n)
        tlen = {0: 3, 1: 3, 2: 3, 3: 4, 4: 4}.get(scale, 5)
        ticks = int.from_bytes(data[:tlen], 'little')
        seconds = ticks / (10 ** scale)
        clock = (datetime.datetime(2000, 1, 1) + datetime.timedelta(seconds=seconds)).time()
        if t == 0x29:
            return clock.isoformat()
        days = int.from_bytes(data[tlen:tlen + 3], 'little')
        day = datetime.date(1, 1, 1) + datetime.timedelta(days=days)
        return '%s %s' % (day.isoformat(), clock.isoformat())
    if t in (0xA7, 0xAF, 0xE7, 0xEF, 0xA5, 0xAD):
        maxlen = r.unpack('<H')
        if t in (0xA7, 0xAF, 0xE7, 0xEF):
            r.take(5)  # collation
        wide = t in (0xE7, 0xEF)
        binary = t in (0xA5, 0xAD)
        if maxlen == 0xFFFF:
            total = r.unpack('<Q')
            if total == 0xFFFFFFFFFFFFFFFF:
                return None
            data = bytearray()
            while True:
                chunk = r.unpack('<I')
                if chunk == 0:
                    break
                data += r.take(chunk)
            data = bytes(data)
        else:
            n = r.unpack('<H')
            if n == 0xFFFF:
                return None
            data = r.take(n)
        return decode_chars(data, wide, binary)
    if t in (0x23, 0x63, 0x22):  # TEXT NTEXT IMAGE
        r.unpack('<I')
        if t != 0x22:
            r.take(5)
        n = r.unpack('<i')
        if n < 0:
            return None
        return decode_chars(r.take(n), t == 0x63, t == 0x22)
    raise SqlError(8016, 'The incoming RPC protocol stream is incorrect: type 0x%02X is not '
                   'supported by this stand-in.' % t)


def decode_chars(data, wide, binary):
    if binary:
        return data
    if wide:
        return data.decode('utf-16-le', 'surrogatepass')
    return data.decode('cp1252', 'replace')


def decode_fixed(kind, data, size):
    if kind in ('int', 'bit'):
        return int.from_bytes(data, 'little', signed=kind == 'int')
    if kind == 'float':
        return struct.unpack('<d', data)[0]
    if kind == 'float4':
        return struct.unpack('<f', data)[0]
    if kind == 'money':
        if size == 8:
            hi, lo = struct.unpack('<iI', data)
            return ((hi << 32) | lo) / 10000
        return struct.unpack('<i', data)[0] / 10000
    if kind == 'datetime':
        days, ticks = struct.unpack('<iI', data)
        moment = datetime.datetime(1900, 1, 1) + datetime.timedelta(days=days,
                                                                    milliseconds=ticks * 10 / 3)
        return moment.isoformat(' ', 'milliseconds')
    if kind == 'smalldatetime':
        days, minutes = struct.unpack('<HH', data)
        moment = datetime.datetime(1900, 1, 1) + datetime.timedelta(days=days, minutes=minutes)
        return moment.isoformat(' ', 'seconds')
    if kind == 'guid':
        return str(__import__('uuid').UUID(bytes_le=bytes(data)))
    return None


# ---------------------------------------------------------------- main

def main():
    parser = argparse.ArgumentParser(description='SQL Server stand-in for tests')
    parser.add_argument('--main', required=True)
    parser.add_argument('--schema', action='append')
    parser.add_argument('--port-file', required=True)
    parser.add_argument('--log', required=True)
    parser.add_argument('--control')
    # The server's own name (@@SERVERNAME), whatever name the client typed.
    parser.add_argument('--server-name', default='STANDIN')
    args = parser.parse_args()

    # Threads serve connections; a kill ends everything at once.
    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
    signal.signal(signal.SIGINT, lambda *_: os._exit(0))

    shared = Shared(args)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(('127.0.0.1', 0))
    listener.listen(16)
    port = listener.getsockname()[1]
    tmp = args.port_file + '.tmp'
    with open(tmp, 'w') as f:
        f.write('%d\n' % port)
    os.replace(tmp, args.port_file)

    number = 0
    while True:
        sock, _addr = listener.accept()
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        number += 1
        Session(shared, sock, number).start()


if __name__ == '__main__':
    sys.exit(main())
