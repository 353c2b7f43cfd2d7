"""Writes the lines the product can print, as patterns, one a line: every piece between line
feeds of every string literal in the given source folders, with "*" for any text where it
has a conversion (%s, %ld, ...) and "?" where it has non-ASCII characters. A piece that a literal ends with, without a line
feed after it, is written with a leading "~": the console may end with it. Pieces with no
fixed text of their own (a bare "%s") are left out, or every line would pass.
Usage: product_lines.py OUTPUT FOLDER..."""
import pathlib
import re
import sys

LITERALS = re.compile(r'(?:L|u8)?"((?:[^"\\\n]|\\.)*)"((?:\s*(?:L|u8)?"(?:[^"\\\n]|\\.)*")*)')
PIECE = re.compile(r'\\x[0-9A-Fa-f]+|\\u[0-9A-Fa-f]{4}|\\.|%%|%[-+ #0]*\d*(?:\.\d+)?(?:hh|h|ll|l|z|I64|I32|I)?[diuxXcsSp]|.')


def pieces(text):
    """The literal's pieces, each a list of tokens, split at its line feeds."""
    out, piece = [], []
    for token in PIECE.findall(text):
        if token == r'\n':
            out.append((piece, True))
            piece = []
        else:
            piece.append(token)
    out.append((piece, False))
    return out


def pattern(tokens):
    """The piece with '*' for any text (a conversion) and '?' for a run of non-ASCII
    characters: one or more characters other than ASCII letters and digits, since the
    console's code page decides what they become (their own bytes, '?' or punctuation)."""
    parts, fixed = [], False
    for token in tokens:
        text = {r'\t': '\t', r'\\': '\\', r'\"': '"', r"\'": "'", '%%': '%', r'\r': ''}.get(token, token)
        wild = token.startswith('%') and token != '%%'
        foreign = token.startswith(r'\x') or token.startswith(r'\u') or (len(token) == 1 and ord(token) > 127)
        mark = '*' if wild else '?' if foreign else None
        if mark:
            if not parts or parts[-1] != mark:
                parts.append(mark)
            fixed = fixed or foreign
            continue
        if '*' in text or '?' in text:
            sys.exit('product_lines.py: a text of the product holds "*" or "?", which the patterns use')
        fixed = fixed or not text.isspace()
        parts.append(text)
    return ''.join(parts) if fixed else None


lines = set()
for folder in sys.argv[2:]:
    for path in sorted(pathlib.Path(folder).rglob('*')):
        if path.suffix not in ('.cpp', '.h'):
            continue
        source = re.sub(r'//[^\n]*', '', path.read_text(encoding='utf-8'))
        for match in LITERALS.finditer(source):
            text = match.group(1) + ''.join(re.findall(r'"((?:[^"\\\n]|\\.)*)"', match.group(2)))
            for tokens, terminated in pieces(text):
                piece = pattern(tokens)
                if piece:
                    lines.add(piece if terminated else '~' + piece)
pathlib.Path(sys.argv[1]).write_text(''.join(line + '\n' for line in sorted(lines)), encoding='utf-8')
