"""safe=True: what templates from others may and may not do."""

import ast
import builtins
import collections
import datetime
import importlib
import io
import json
import os
import subprocess
import sys

import numpy as np
import openpyxl
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tessel import sandbox
from tessel.batch import fill_many
from tessel.demo import demo_variables, example
from tessel.gridfill import GridFill
from tessel.linefill import LineFill
from tessel.pagefill import PageFill

HERE = os.path.dirname(os.path.abspath(__file__))
REFUSED = "not allowed in safe mode: "


def money(value):
    return f"EUR {value:,.2f}"


class Point:
    def __init__(self, x, y):
        self.x, self.y = x, y

    def norm(self):
        return abs(self.x) + abs(self.y)


@pytest.fixture
def env():
    return {
        "df": pd.DataFrame({"region": ["N", "S", "N"], "amount": [1.5, 2.0, 3.0]}),
        "items": [1, 2, 3],
        "x": 3.14159,
        "total": 1234567.891,
        "day": datetime.date(2024, 5, 3),
        "name": "Ada Lovelace",
        "logo": io.BytesIO(b"\x89PNG"),
        "money": money,
        "Point": Point,
        "Timestamp": pd.Timestamp,
    }


ALLOWED = [
    ("df.amount.sum()", "6.5"),
    ("df.groupby('region').amount.sum()['N']", "4.5"),
    ("format(total, ',.2f')", "1,234,567.89"),
    ("day.strftime('%d %B %Y')", "03 May 2024"),
    ("', '.join(df.region)", "N, S, N"),
    ("len(items)", "3"),
    ("round(x, 2)", "3.14"),
    ("df.loc[1, 'amount']", "2.0"),
    ("[i * 2 for i in items]", "[2, 4, 6]"),
    ("sum(i for i in range(10) if i % 2)", "25"),
    ("dict((k, v) for k, v in zip('ab', items))['b']", "2"),
    ("'big' if total > 1000 else 'small'", "big"),
    ("df.to_csv(index=False).splitlines()[1]", "N,1.5"),
    ("df.to_string(index=False).split()[:2]", "['region', 'amount']"),
    ("sorted(items, key=str, reverse=True)", "[3, 2, 1]"),
    ("[0 for _ in range(2)]", "[0, 0]"),
    ("'%05.1f' % x", "003.1"),
    ("'ab' * 3 + str(2 ** 10) + str(1 << 4)", "ababab102416"),
    ("min(items), max(items), abs(-2), any(items), all([])", "(1, 3, 2, True, True)"),
    ("list(enumerate('ab')), tuple(items), set([1, 1]), bool(0)", "([(0, 'a'), (1, 'b')], (1, 2, 3), {1}, False)"),
    ("int('7') + float('0.5'), isinstance(x, float)", "(7.5, True)"),
    ("df[df.amount > 1.8].region.to_list()", "['S', 'N']"),
    ("df.loc[[2, 0], 'region'].to_list(), float(df.iloc[[1]].amount.sum()), items[len(items) - 1]",
     "(['N', 'N'], 2.0, 3)"),
    ("df.region.str.lower().str.cat(sep='-')", "n-s-n"),
    ("df.groupby('region').agg(total=('amount', 'sum')).total['N']", "4.5"),
    ("df.agg(['min', 'max']).amount.to_list()", "[1.5, 3.0]"),
    ("name.split()[-1].upper().replace('L', 'l')", "lOVElACE"),
    ("name[:3].ljust(5, '.') + name.center(14, '*')[:2]", "Ada..*A"),
    ("money(total)", "EUR 1,234,567.89"),
    ("Point(3, -4).norm()", "7"),
    ("Timestamp('2024-01-02').day_name()", "Tuesday"),
    ("(day - day).days, day.year", "(0, 2024)"),
    ("logo.getvalue()[1:4]", "b'PNG'"),
    ("df.amount.values.round(1).tolist()", "[1.5, 2.0, 3.0]"),
    ("df.shape[0] * df.region.nunique()", "6"),
    ("df.amount.astype(int).tolist(), isinstance(len(items), int)", "([1, 2, 3], True)"),
    ("df.amount.apply(round).tolist(), df.amount.apply(int).tolist()", "([2, 2, 3], [1, 2, 3])"),
    ("df.groupby('region').amount.agg(sum)['N']", "4.5"),
    ("df.amount.apply(format, args=(',.2f',)).tolist()", "['1.50', '2.00', '3.00']"),
    ("df.amount.values.flags.writeable", "False"),
    ("sorted(df.region, key=str.lower), df.region.map(str.lower).tolist()", "(['N', 'N', 'S'], ['n', 's', 'n'])"),
    ("df.groupby('region').amount.agg(['sum', 'max']).loc['N'].tolist()", "[4.5, 3.0]"),
    ("Timestamp('2024-01-02', tz='Europe/Paris').tz_convert('UTC').hour", "23"),
    ("day.replace(day=1).isoformat(), day.today() > day", "('2024-05-01', True)"),
    ("df.loc[df.amount.idxmax(), 'region'], float(round(df.describe().loc['mean', 'amount'], 2))", "('N', 2.17)"),
    ("df.merge(df, on='region').shape, bool(df.region.str.contains('N|S').all())", "((5, 3), True)"),
    ("(df.amount.values * 2).tolist(), float(df.amount.rolling(2).sum().iloc[-1])", "([3.0, 4.0, 6.0], 5.0)"),
    ("[p.amount for p in df.itertuples()], day.isocalendar().week", "([1.5, 2.0, 3.0], 18)"),
    ("df.amount.round(0).astype('int64').max() + len(str(df.amount.dtype))", "10"),
    ("[Point(i, i).x for i in range(2)], Point.norm(Point(1, 1))", "([0, 1], 2)"),
    ("df.set_index('region').loc['N'].amount.tolist(), df.region.unique().tolist()", "([1.5, 3.0], ['N', 'S'])"),
]


@pytest.mark.parametrize("expression, expected", ALLOWED, ids=[e for e, _ in ALLOWED])
def test_typical_expressions_fill_in_safe_mode(env, expression, expected):
    text, failed = LineFill(safe=True)("{%s}" % expression, env)
    assert failed == [], failed.details
    assert text == expected


@pytest.mark.parametrize("expression, expected", ALLOWED, ids=[e for e, _ in ALLOWED])
def test_safe_and_default_agree(env, expression, expected):
    assert LineFill(safe=True)("{%s}" % expression, env) == LineFill()("{%s}" % expression, dict(env))


small_int = st.integers(-20, 20)
atom = st.one_of(small_int.map(str), st.sampled_from(["a", "b", "c", "'xy'", "[1, 2]", "(3,)", "1.5"]))
OPERATORS = ["+", "-", "/", "//", "%", "&", "|", "^", "==", "!=", "<", ">=", "and", "or"]


def combine(children):
    binary = st.tuples(children, st.sampled_from(OPERATORS), children)
    # Repeats, powers and shifts by small numbers only: the plain evaluation must stay small too.
    small = st.tuples(children, st.sampled_from(["*", "**", "<<"]), st.integers(0, 3))
    return st.one_of(
        binary.map(lambda t: f"({t[0]} {t[1]} {t[2]})"),
        small.map(lambda t: f"({t[0]} {t[1]} {t[2]})"),
        st.tuples(children, children, children).map(lambda t: f"({t[0]} if {t[1]} else {t[2]})"),
        st.tuples(children, children, children).map(lambda t: f"({t[0]} < {t[1]} <= {t[2]})"),
        st.tuples(children, small_int).map(lambda t: f"[{t[0]} for _ in range({abs(t[1]) % 4})]"),
        st.tuples(children, children).map(lambda t: f"[{t[0]}, {t[1]}]"),
        st.tuples(children, small_int).map(lambda t: f"str({t[0]})[{t[1]}:]"),
        children.map(lambda c: f"len(str({c}))"),
        children.map(lambda c: f"sorted(str({c}))"),
        children.map(lambda c: f"(not {c}, -({c}))"),
    )


@settings(max_examples=400, deadline=None)
@given(expression=st.recursive(atom, combine, max_leaves=8))
def test_safe_mode_computes_what_python_computes(expression):
    variables = {"a": 7, "b": "text", "c": [3, 1, 2]}
    try:
        expected = eval(expression, dict(variables))
    except Exception:
        return  # the same failure in both is the fillers' own business
    if len(repr(expected)) > 10_000:
        return
    text, failed = LineFill(safe=True)("{%s}" % expression, variables)
    assert failed == [], failed.details
    assert text == (expected if type(expected) is str else str(expected))


# -- attacks -----------------------------------------------------------------

# (placeholder, what its reason says).  T is the folder the attacks aim at.
ESCAPES = [
    ("__import__('os').system('touch ' + T + '/a')", "name '__import__'"),
    ("().__class__.__bases__[0].__subclasses__()", "attribute '__class__'"),
    ("df.__class__", "attribute '__class__'"),
    ("__builtins__", "name '__builtins__'"),
    ("x.__init__.__globals__", "attribute '__init__'"),
    # a placeholder holds no brace; it can make one
    ("(str(dict())[0] + '0.__class__' + str(dict())[1]).format(x)", "attribute 'format'"),
    ("'x'.format_map(dict(x=x))", "attribute 'format_map'"),
    ("df.to_string(float_format=str(dict(a=0))[0] + '0.__class__' + str(dict())[1])", "format string"),
    ("df.eval('amount * 2')", "attribute 'eval'"),
    ("df.query('amount > 1')", "attribute 'query'"),
    ("df.to_csv(T + '/b.csv')", "with a file or buffer"),
    ("df.to_string(T + '/c.txt')", "with a file or buffer"),
    ("df.to_pickle(T + '/d.pkl')", "attribute 'to_pickle' of a 'pandas.DataFrame' object"),
    ("df.to_excel(T + '/e.xlsx')", "attribute 'to_excel'"),
    ("df.values.tofile(T + '/f.bin')", "attribute 'tofile'"),
    ("df.values.dump(T + '/g.npy')", "attribute 'dump'"),
    ("np.save(T + '/h', df.values)", "module 'numpy'"),
    ("np.fromfile('/etc/passwd')", "module 'numpy'"),
    ("np.ones(10**10)", "module 'numpy'"),
    ("np.lib.npyio.os.system('id')", "module 'numpy'"),
    ("pd.read_csv('/etc/passwd')", "module 'pandas'"),
    ("pd.DataFrame.from_dict(dict(a=[1]))", "module 'pandas'"),
    ("df.agg('to_pickle', T + '/i.pkl')", "'to_pickle' named in an argument"),
    ("df.apply('to_csv', path_or_buf=T + '/j.csv')", "'to_csv' named in an argument"),
    ("df.pipe(print)", "attribute 'pipe'"),
    ("df.style.to_html()", "attribute 'style'"),
    ("df.plot", "attribute 'plot'"),
    ("getattr(df, 'to_csv')(T + '/k.csv')", "name 'getattr'"),
    ("type(df)", "name 'type'"),
    ("vars(df)", "name 'vars'"),
    ("globals()", "name 'globals'"),
    ("eval('1')", "name 'eval'"),
    ("exec('1')", "name 'exec'"),
    ("compile('1', 's', 'eval')", "name 'compile'"),
    ("open('/etc/passwd').read()", "name 'open'"),
    ("(lambda: 0)()", "lambda"),
    ("(y := 1)", "assignment expression"),
    ("(i for i in items).gi_frame.f_globals", "attribute 'gi_frame'"),
    ("os.system('touch ' + T + '/l')", "module 'os'"),
    ("remove('/etc/hostname')", "function 'remove' of a library"),
    ("Popen(['touch', T + '/m'])", "class 'Popen' of a library"),
    ("environ['HOME']", "os._Environ"),
    ("conn.execute('create table t (a)')", "sqlite3.Connection"),
    ("sorted(items, key=remove)", "function 'remove' of a library"),
    ("df.loc[remove]", "function 'remove' of a library"),
    ("items.append(4)", "attribute 'append' of a 'list' object"),
    ("df.pop('amount')", "attribute 'pop' of a 'pandas.DataFrame' object"),
    ("df.agg('pop', 'amount')", "'pop' named in an argument"),
    ("df.drop(columns='amount', inplace=True)", "inplace=True"),
    ("df.values.sum(None, None, df.values)", "an output array"),
    ("df.values.fill(0)", "attribute 'fill' of a 'numpy.ndarray' object"),
    ("logo.write(b'x')", "attribute 'write'"),
    ("logo.truncate(0)", "attribute 'truncate'"),
    ("logo.close()", "attribute 'close'"),
    ("df.amount.map(str.format)", "attribute 'format'"),
    # methods named in text, whatever holds the names
    ("df.agg(set(['to_csv']), T + '/n.csv')", "functions given to 'agg' in a 'set' object"),
    ("df.agg(dict(to_csv=1).keys(), T + '/n.csv')", "in a 'dict_keys' object"),
    ("df.agg(df.columns.str.replace('amount', 'to_csv'), T + '/n.csv')", "in a 'pandas.Index' object"),
    ("df.amount.agg(df.region.str.replace('N', 'to_csv'))", "in a 'pandas.Series' object"),
    ("df.amount.agg(n for n in ['to_csv'])", "in a 'generator' object"),
    ("df.amount.transform(['sum', 'to_csv'])", "'to_csv' named in an argument of 'transform'"),
    ("df.apply('to_pickle', path=T + '/o.pkl')", "'to_pickle' named in an argument of 'apply'"),
    ("df.agg(dict(amount=['update']))", "'update' named in an argument of 'agg'"),
    ("df.agg('__init__')", "'__init__' named"),
    ("df.amount.agg(('sum', '__setattr__'))", "'__setattr__' named"),
    ("df.amount.apply('pop')", "'pop' named"),
    ("df.groupby('region').agg(dict(amount='to_csv'))", "'to_csv' named"),
    ("df.groupby('region').amount.transform('to_csv')", "'to_csv' named"),
    ("ts.resample('365D').agg('to_csv')", "'to_csv' named"),
    ("ts.rolling(2).agg('to_csv')", "'to_csv' named"),
    ("df.agg(names)", "in a 'set' object"),
    # writers and mutators passed on as functions are checked where they are called
    ("df.amount.apply(df.to_csv)", "'to_csv' with a file or buffer"),
    ("sorted(items, key=df.to_csv)", "'to_csv' with a file or buffer"),
    ("call(df.to_json, T + '/p.json')", "'to_json' with a file or buffer"),
    ("df.groupby('region').apply(df.to_csv)", "'to_csv' with a file or buffer"),
    ("df.assign(x=remove)", "function 'remove' of a library"),
    ("df.where(remove)", "function 'remove' of a library"),
    ("df.columns.map(remove)", "function 'remove' of a library"),
    ("ts.rolling(2).apply(remove)", "function 'remove' of a library"),
    ("df.groupby('region').filter(remove)", "function 'remove' of a library"),
    ("df.amount.apply(sum, args=([],))", "sum() of sequences"),
    # files and the network
    ("df.to_csv('http://127.0.0.1:9/q.csv')", "'to_csv' with a file or buffer"),
    ("df.amount.to_json(T + '/r.json')", "'to_json' with a file or buffer"),
    ("df.to_html(T + '/s.html')", "'to_html' with a file or buffer"),
    ("df.to_string(buf=T + '/t.txt')", "'to_string' with a file or buffer"),
    ("df.to_latex(T + '/u.tex')", "'to_latex' with a file or buffer"),
    ("df.to_parquet(T + '/v.pq')", "attribute 'to_parquet'"),
    ("df.to_sql('t', conn)", "attribute 'to_sql'"),
    ("df.to_clipboard()", "attribute 'to_clipboard'"),
    ("df.to_xml(T + '/w.xml')", "attribute 'to_xml'"),
    ("df.amount.to_pickle(T + '/x.pkl')", "attribute 'to_pickle'"),
    ("df.to_feather(T + '/y.f')", "attribute 'to_feather'"),
    ("df.to_hdf(T + '/z.h5', key='a')", "attribute 'to_hdf'"),
    ("df.to_excel(T + '/a.xlsx')", "attribute 'to_excel'"),
    # time zones given as text are zones' names, not paths
    ("ts.tz_localize('dateutil//etc/passwd')", "time zone 'dateutil//etc/passwd'"),
    ("ts.index.tz_localize('UTC').tz_convert('dateutil//etc/passwd')", "time zone"),
    ("Timestamp('2024-01-01', tz='dateutil//etc/passwd')", "time zone"),
    ("Timestamp.now('/etc/passwd')", "time zone"),
    ("Timestamp('2024-01-01').tz_localize('dateutil/../../etc/passwd')", "time zone"),
    ("Timestamp('2024-01-01', tz='UTC').astimezone('dateutil//etc/passwd')", "time zone"),
    ("ts.index.to_series().dt.tz_localize('dateutil//etc/passwd')", "time zone"),
    ("ts.astype('datetime64[ns, dateutil//etc/passwd]')", "time zone"),
    ("df.select_dtypes(include='datetime64[ns, dateutil//etc/passwd]')", "time zone"),
    ("df.describe(include=['datetime64[ns, /etc/passwd]'])", "time zone"),
    ("df.amount.astype([('a', 'O')])", "a dtype given as a 'list' object"),
    # the caller's values stay as they were
    ("df.amount.array.to_numpy().byteswap(True)", "attribute 'array' of a 'pandas.Series' object"),
    ("df.amount.values.byteswap(True)", "attribute 'byteswap' of a 'numpy.ndarray' object"),
    ("df.values.setflags(write=True)", "attribute 'setflags'"),
    ("arr.sort()", "attribute 'sort' of a 'numpy.ndarray' object"),
    ("arr.put(0, 9)", "attribute 'put'"),
    ("arr.cumsum(0, None, arr)", "an output array"),
    ("arr.clip(0, 1, arr)", "an output array"),
    ("arr.round(0, out=arr)", "out="),
    ("arr.base", "attribute 'base'"),
    ("names.update(['x'])", "attribute 'update' of a 'set' object"),
    ("names.pop()", "attribute 'pop' of a 'set' object"),
    ("counts.setdefault('x', 1)", "attribute 'setdefault' of a 'collections.defaultdict' object"),
    ("counts.pop('a')", "attribute 'pop'"),
    ("counts.default_factory", "attribute 'default_factory'"),
    ("tally.update('a')", "attribute 'update' of a 'collections.Counter' object"),
    ("tally.subtract('a')", "attribute 'subtract'"),
    ("ordered.move_to_end('a')", "attribute 'move_to_end' of a 'collections.OrderedDict' object"),
    ("ordered.popitem()", "attribute 'popitem'"),
    ("logo.read()", "attribute 'read' of a '_io.BytesIO' object"),
    ("logo.seek(2)", "attribute 'seek'"),
    ("logo.getbuffer()", "attribute 'getbuffer'"),
    ("logo.readline()", "attribute 'readline'"),
    ("[0 for items[0] in [5]]", "assigning to an item"),
    ("[0 for df['amount'] in [5]]", "assigning to an item"),
    # the parts of pandas and numpy that reach further
    ("df.flags", "attribute 'flags' of a 'pandas.DataFrame' object"),
    ("df.attrs", "attribute 'attrs'"),
    ("df.hist()", "attribute 'hist'"),
    ("df.groupby('region').pipe(print)", "attribute 'pipe'"),
    ("df.amount.case_when([(df.amount > 1, 0)])", "attribute 'case_when'"),
    ("df.region.dtype.construct_array_type()", "attribute 'construct_array_type' of a 'pandas.StringDtype' object"),
    ("df.values.dtype.type(5)", "attribute 'type' of a 'numpy.dtypes.ObjectDType' object"),
    ("ts.index.freq.is_on_offset(day)", "attribute 'is_on_offset' of a 'pandas._libs.tslibs.offsets.Day' object"),
    ("ts.rolling(2).sum(engine='numba')", "engine='numba'"),
    ("df.rolling(2, win_type='triang')", "win_type="),
    ("df.amount.ewm(com=1, method='table')", "method='table'"),
    ("logo.getvalue().fromhex('41')", "attribute 'fromhex' of a 'bytes' object"),
    ("Decimal(1).scaleb(5)", "attribute 'scaleb' of a 'decimal.Decimal' object"),
    ("df.groupby('region', observed=False).amount.sum()", "observed=False"),
]

BOMBS = [
    ("9**9**9", "integer power"),
    ("'a' * 10**10", "repetition"),
    ("[0] * 10**10", "repetition"),
    ("[[0] * 10**4] * 10**4", "repetition"),
    ("sum(range(10**12))", "range"),
    ("len(range(10**100))", "range"),
    ("'x'.ljust(10**10)", "ljust()"),
    ("('a' * 10**6).center(10**9)", "center()"),
    ("'\\t'.expandtabs(10**10)", "expandtabs()"),
    ("format(1, '>10000000000')", "format widths"),
    ("format(1.5, '.999999999f')", "format widths"),
    ("'%10000000000d' % 1", "% format widths"),
    ("'%*d' % (10**10, 1)", "'*' width"),
    ("round(10**100, -10**9)", "rounding"),
    ("1 << 10**10", "integer of"),
    ("('a' * 10**4).replace('', 'x' * 10**4)", "replace"),
    ("('x' * 10**4).join(str(i) for i in range(10**4))", "join"),
    ("'a' * 10**6 * 100", "repetition"),
    ("sum(['a' * 10**6 for i in range(100)], '')", "items kept"),
    ("[i for i in range(10**6) for j in range(10**6)]", "loop steps"),
    ("df.region * 10**9", "repetition"),
    ("df.amount.repeat(10**9)", "repeat()"),
    ("df.region.str.pad(10**9)", "pad()"),
    ("df.astype('U1000000000')", "astype()"),
    ("df.region.apply(str.ljust, args=(10**10,))", "ljust()"),
    ("df.amount.apply(format, args=('>10000000000',))", "format widths"),
    ("df.region.mul(10**9)", "repetition"),
    ("df.amount.astype('O').rpow(10**9)", "power of a column"),
    ("df.region.repeat(10**4).sum()", "summing text"),
    ("df.region.repeat(10**6)", "repeat() of 3000000 cells"),
    ("df.groupby('region').region.agg('cumsum')", "summing text"),
    ("df.sample(frac=10**9, replace=True)", "sample()"),
    ("ts.resample('1ns').sum()", "resample()"),
    ("ts.asfreq('1ns')", "asfreq()"),
    ("[range(10**6) for i in range(20)]", "ranges"),
    ("list(enumerate(range(10**6), int('9' * 4000)))", "integer of"),
    ("int.from_bytes(b'x' * 10**5, 'big')", "attribute 'from_bytes' of the class 'int'"),
    (r"df.region.replace('(.)', '\\1' * 10**6, regex=True)", "replace()"),
    ("(df.region * 10**4).str.replace('', 'x' * 10**3)", "replace()"),
    ("df.region.str.cat(sep='x' * 10**7)", "cat()"),
    ("df.region.str.repeat(40).str.contains('(N+)+X')", "regular expression"),
    ("df.iloc[[0, 1] * 4 * 10**6]", "selection"),
    ("df.take([0] * 6 * 10**6)", "take()"),
    ("df.sample(1000, replace=True).merge(df.sample(10**4, replace=True), how='cross')", "a join of"),
    ("[sorted(df.amount) for i in range(10**6) for j in range(2)]", "loop"),
    ("df.amount.astype('O') ** 10**9", "power of a column"),
    # comprehensions and calls that keep copies of text
    ("[text.upper() for _ in range(1000)]", "items kept"),
    ("[text + text for _ in range(1000)]", "concatenation"),
    ("[text[1:] for _ in range(1000)]", "of 999999 items or characters"),
    ("''.join(text for _ in range(1000))", "items kept"),
    ("max(text.upper(), text.lower(), text.title(), text.upper(), text.lower(), text.title(), text.upper(), "
     "text.lower(), text.title(), text.upper(), text.lower())", "of 1000000 items or characters"),
    ("str([[x] * 1000 for x in [[0] * 1000] * 1000])", "repetition"),
    ("str([x for x in [[[0] * 1000] * 1000] * 5 for _ in range(100)])", "items kept"),
    ("[text for _ in range(1000)]", "items kept"),
    ("str([[[0] * 1000] * 1000] * 1000)", "repetition"),
    ("[[2**1000] * 10**5] * 100", "repetition"),
    # tables that outgrow what they were made from
    ("df.sample(3000, replace=True).merge(df.sample(3000, replace=True), on='region')", "a join of"),
    ("df.merge(df.sample(20000, replace=True), on='region')", "a join of"),
    ("df.loc[[0] * 300000]", "a selection of 600000 cells"),
    ("df[['amount'] * 30000]", "a selection"),
    ("arr.repeat(3000).reshape(-1, 1) + arr.repeat(3000)", "combining two tables"),
    ("arr.repeat(3000).reshape(-1, 1) < arr.repeat(3000)", "combining two tables"),
    ("df.amount.repeat(5000) + df.amount.repeat(5000)[::-1]", "combining two tables"),
    ("df.amount.repeat(5000).mul(df.amount.repeat(5000)[::-1])", "combining two tables"),
    ("df.amount.repeat(5000).to_frame() @ df.amount.repeat(5000).to_frame().T", "a matrix product"),
    ("df.amount.shift([1] * 30000)", "shifting by several periods"),
    ("df.describe(percentiles=[i / 10**5 for i in range(10**5)])", "quantiles"),
    ("(df.region * 100000).str.split('', expand=True)", "split(expand=True)"),
    ("ts.resample('1s').asfreq()", "resample()"),
    ("df.amount.value_counts(bins=10**8)", "value_counts(bins=...)"),
    ("arr.repeat(10**7)", "repeat()"),
    # widths, dtypes and formats
    ("df.astype(('U', 5000000))", "a dtype given as a 'tuple' object"),
    ("df.astype('U5000000')", "astype()"),
    ("df.amount.to_numpy(dtype='U5000000')", "a dtype"),
    ("df.to_string(col_space=10**7)", "the rendered text"),
    ("df.to_csv(float_format='%.100000000f')", "the rendered text"),
    ("day.strftime('%9999Y' * 100000)", "strftime()"),
    ("Timestamp('2024-01-01').strftime('%-9999999999d')", "strftime()"),
    ("ts.index.strftime('%99999Y' * 1000)", "strftime()"),
    ("format(day, '%99999999Y')", "format widths"),
    ("datetime.strptime('2024', '%Y' * 100000)", "strptime format"),
    ("df.region.str.repeat(10**7)", "repeat()"),
    ("('a' * 1000).translate(str.maketrans(dict(a='x' * 10**5)))", "translate"),
    # regular expressions that backtrack
    ("(df.region * 30).str.match('N?' * 30 + 'N' * 30)", "regular expression that may take"),
    ("df.region.str.repeat(30).str.match('(N|NN)*$')", "repeats a repeating group"),
    ("df.region.str.contains('((N?)+)+X')", "repeats a repeating group"),
    ("(df.region * 10**5).str.contains('.*.*.*X')", "regular expression"),
    (r"df.region.str.contains('(N)\\1')", "refers back to a group"),
    ("df.region.replace('((N+)+)+X', '', regex=True)", "repeats a repeating group"),
    # numbers
    ("int('9' * 4000) * int('9' * 4000)", "integer of"),
    ("0x" + "f" * 300 + " * 2", "an integer of 1200 bits"),
    ("2**1000 * 2**1000", "integer of about 2002 bits"),
    ("Fraction(1, 3) ** -10**6", "integer power"),
    ("Fraction('1e99999999')", "fraction of exponent"),
    ("int(Decimal('1e999999'))", "decimal of exponent"),
    ("int(Decimal(10) ** 999998)", "decimal of exponent"),
    ("((df.amount.astype(int).astype('O') ** 100) ** 100) ** 100", "power of a column of objects of about"),
    ("df.amount.astype(int).astype('O').mul(2**1000).sum()", "large whole numbers"),
    # references to one long text, made into copies
    ("dict.fromkeys(range(1000), text)", "fromkeys() of"),
    ("max(sorted(text), sorted(text), sorted(text), sorted(text), sorted(text), sorted(text), sorted(text), "
     "sorted(text), sorted(text), sorted(text), sorted(text))", "sorted() of"),
    ("df.assign(x=text).x.repeat(20).str.upper()", "upper() of"),
    ("df.region.repeat(20).replace('N', text).str.upper()", "upper() of"),
    ("df.sample(6, replace=True).assign(x=text).to_string()", "the rendered text"),
    ("df.region.repeat(10000) + text", "text added to a column"),
    ("df.region.repeat(10000).add(text)", "text added to a column"),
    ("arr.repeat(3000).clip(arr.repeat(3000).reshape(-1, 1))", "combining two tables"),
]


def attack(kind, attacks, folder):
    """Runs `attacks` on one filler in a subprocess that may take a second each."""
    done = subprocess.run(
        [sys.executable, os.path.join(HERE, "attacker.py"), kind, str(folder)],
        input=json.dumps([a for a, _ in attacks]),
        capture_output=True,
        text=True,
        timeout=10 + len(attacks),
    )
    assert done.returncode == 0, done.stderr[-3000:]
    return json.loads(done.stdout)


def made_files(folder):
    return sorted(set(os.listdir(folder)) - {"attacks.xlsx", "attacks.docx", "filled.xlsx", "filled.docx"})


@pytest.mark.parametrize("kind", ["line", "grid", "page"])
@pytest.mark.parametrize("attacks", [ESCAPES, BOMBS], ids=["escapes", "bombs"])
def test_attacks_fail_with_their_rule_and_leave_no_trace(tmp_path, kind, attacks):
    outcome = attack(kind, attacks, tmp_path)
    for (placeholder, fragment), result in zip(attacks, outcome["results"]):
        assert result["placeholder"] == placeholder
        reason = result["reason"] or ""
        assert reason.startswith(REFUSED) and fragment in reason, (placeholder, reason)
        # a failed placeholder keeps its text
        assert result["text"] == ("{%s}" % placeholder)[:200]
    assert made_files(tmp_path) == []
    assert outcome["changed"] == []
    assert outcome["events"] == []
    assert outcome["peak_mb"] - outcome["baseline_mb"] < 300
    if kind == "line":
        # a bomb that ran would take many seconds; the margin is for a busy machine
        slow = [(r["placeholder"], r["seconds"]) for r in outcome["results"] if r["seconds"] >= 2]
        assert slow == []
    else:
        assert outcome["seconds"] < len(attacks)


def free_names(expression):
    tree = ast.parse(expression, mode="eval")
    bound = {n.id for c in ast.walk(tree) if isinstance(c, ast.comprehension) for n in ast.walk(c.target)
             if isinstance(n, ast.Name)}
    return {n.id for n in ast.walk(tree) if isinstance(n, ast.Name)} - bound - set(dir(builtins))


SCRIPT_NAMES = {"T", "df", "items", "x", "day", "logo", "Popen", "environ", "remove", "os", "np", "pd"}
VARIABLES_SCRIPT = """
import io, os, subprocess
from os import remove
import numpy as np
import pandas as pd
T = {folder!r}
df = pd.DataFrame({{"region": ["N", "S", "N"], "amount": [1.5, 2.0, 3.0]}})
items = [1, 2, 3]
x = 3.14159
day = __import__("datetime").date(2024, 5, 3)
logo = io.BytesIO(b"png")
Popen = subprocess.Popen
environ = os.environ
conn = None
"""


@pytest.mark.parametrize("attacks", [ESCAPES, BOMBS], ids=["escapes", "bombs"])
def test_the_command_refuses_attacks_unless_trusted(tmp_path, attacks):
    # Placeholders that need variables the script does not give are left out.
    attacks = [(a, f) for a, f in attacks if free_names(a) <= SCRIPT_NAMES]
    script = tmp_path / "variables.py"
    script.write_text(VARIABLES_SCRIPT.format(folder=str(tmp_path)))
    template = tmp_path / "attacks.txt"
    template.write_text("".join("{%s}\n" % a for a, _ in attacks))
    command = [sys.executable, "-m", "tessel"]
    timeout = 20 + len(attacks)

    check = subprocess.run([*command, "check", str(template), "--data", str(script)],
                           capture_output=True, text=True, timeout=timeout)
    assert check.returncode == 1, check.stderr[-2000:]
    lines = check.stdout.splitlines()
    assert len(lines) == len(attacks)
    for (placeholder, fragment), line in zip(attacks, lines):
        assert f"FAILS: {REFUSED}" in line and fragment in line, line

    out = tmp_path / "out.txt"
    fill = subprocess.run([*command, "fill", str(template), str(out), "--data", str(script)],
                          capture_output=True, text=True, timeout=timeout)
    assert fill.returncode == 1, fill.stderr[-2000:]
    assert out.read_text() == template.read_text()
    assert f"{len(attacks)} placeholder(s) not filled" in fill.stderr
    assert sorted(os.listdir(tmp_path)) == ["attacks.txt", "out.txt", "variables.py"]


def test_trust_runs_placeholders_with_all_rights(tmp_path):
    template = tmp_path / "t.txt"
    template.write_text("{__import__('os').getpid() > 0}")
    for extra, expected in [([], "{__import__('os').getpid() > 0}"), (["--trust"], "True")]:
        out = tmp_path / "out.txt"
        subprocess.run([sys.executable, "-m", "tessel", "fill", str(template), str(out), *extra],
                       capture_output=True, timeout=60)
        assert out.read_text() == expected


# -- the fill around the checks ------------------------------------------------


def test_the_callers_dict_is_left_as_it_was(env):
    before = dict(env)
    LineFill(safe=True)("{len(items)} {df.amount.sum()} {missing}", env)
    assert env == before and "__builtins__" not in env


@pytest.mark.parametrize(
    "value, reason",
    [
        (os, "name 'v' (module 'os')"),
        (os.remove, "name 'v' (function 'remove' of a library)"),
        (subprocess.Popen, "name 'v' (class 'Popen' of a library)"),
        (open(os.devnull), "name 'v' (a '_io.TextIOWrapper' object)"),
        ((i for i in [1]), "name 'v' (a 'generator' object, which reading would use up)"),
    ],
    ids=["module", "library function", "library class", "open file", "iterator"],
)
def test_variables_that_offer_nothing_fail_where_used(value, reason):
    text, failed = LineFill(safe=True)("{v}|{n}", {"v": value, "n": 1})
    assert text == "{v}|1"
    assert [f.reason for f in failed.details] == [REFUSED + reason]


@pytest.mark.parametrize(
    "expression, expected",
    [
        ("counts['b'], counts['a']", "(0, 1)"),
        ("list(logo)", "[b'png']"),
        ("logo.getvalue(), logo.tell()", "(b'png', 0)"),
        ("sorted(names), names.union(['c']) == set('abc')", "(['a', 'b'], True)"),
        ("tally.most_common(1), ordered.get('a'), dict(counts)", "([('a', 2)], 1, {'a': 1})"),
    ],
)
def test_reading_leaves_the_callers_values_as_they_were(expression, expected):
    logo = io.BytesIO(b"png")
    logo.seek(2)
    env = {"counts": collections.defaultdict(int, a=1), "logo": logo, "names": {"a", "b"},
           "tally": collections.Counter("aab"), "ordered": collections.OrderedDict(a=1)}
    text, failed = LineFill(safe=True)("{%s}" % expression, env)
    assert (text, failed) == (expected, [])
    assert dict(env["counts"]) == {"a": 1} and logo.tell() == 2 and env["names"] == {"a", "b"}


@pytest.mark.parametrize(
    "expression",
    ["arr", "df.amount.values", "df.amount.to_numpy()", "df.values[:2]", "[arr][0]", "arr.copy()",
     "df.amount.to_numpy(copy=True)", "arr * 2", "df.index.values", "[a for a in [arr]][0]"],
)
def test_arrays_a_placeholder_gets_cannot_be_written(expression):
    arr = np.arange(3.0)
    env = {"arr": arr, "df": pd.DataFrame({"amount": [1.5, 2.0]})}
    assert sandbox.evaluate(expression, env).flags.writeable is False
    assert arr.flags.writeable


def test_refusals_are_listed_by_check_and_fill_alike(env):
    template = "{len(items)}\n{type(df)}\n{'a' * 10**10}\n{1 +}"
    fill = LineFill(safe=True)
    findings = fill.check(template, env)
    _, failed = fill(template, env)
    assert [(f.placeholder, f.reason) for f in findings if f.reason] == [(f.placeholder, f.reason) for f in failed.details]
    assert [f.reason is None for f in findings] == [True, False, False, False]
    assert failed.details[2].reason.startswith("SyntaxError")
    # a second fill gives the same reasons, from the cache
    assert fill(template, env)[1].details == failed.details


def test_budgets_belong_to_each_placeholder(env):
    # Each comes close to the limit alone; together they would pass it.
    template = " ".join(["{len('a' * 6_000_000)}"] * 3)
    text, failed = LineFill(safe=True)(template, env)
    assert failed == [] and text == "6000000 6000000 6000000"


def test_a_dict_that_is_not_one_fails_every_placeholder():
    text, failed = LineFill(safe=True)("{a} {b}", [("a", 1)])
    assert text == "{a} {b}"
    assert [f.reason for f in failed.details] == ["TypeError: globals must be a dict"] * 2


def test_safe_option_is_read_at_each_call(env):
    fill = LineFill()
    assert fill("{type(x).__name__}", env)[0] == "float"
    fill.safe = True
    assert fill("{type(x).__name__}", env)[1] == ["type(x).__name__"]


def test_fill_many_keeps_the_fillers_safe_option(tmp_path):
    template = tmp_path / "t.txt"
    template.write_text("{n} {__import__('os').getpid()}")
    jobs = [(tmp_path / f"{k}.txt", {"n": k}) for k in range(2)]
    for filler, second in [(LineFill(safe=True), "{__import__('os').getpid()}"), (LineFill(), None)]:
        results = fill_many(filler, str(template), jobs, progress=False)
        texts = [path.read_text() for path, _ in jobs]
        if second:
            assert texts == [f"{k} {second}" for k in range(2)]
            assert [r.details[0].reason for r in results] == [REFUSED + "name '__import__'"] * 2
        else:
            assert all(t.split()[1].isdigit() for t in texts) and results == [[], []]


@pytest.mark.parametrize("name", ["report.xlsx", "order.docx", "letter.txt"])
def test_bundled_templates_fill_alike_in_safe_mode(tmp_path, name):
    kind = os.path.splitext(name)[1]
    filler = {".xlsx": GridFill, ".docx": PageFill, ".txt": LineFill}[kind]
    outputs = []
    for safe in (False, True):
        out = tmp_path / f"{safe}{kind}"
        if kind == ".txt":
            with open(example(name), encoding="utf-8") as f:
                text, failed = filler(safe=safe)(f.read(), demo_variables(name))
            out.write_text(text)
        else:
            # The demo report's block makes room for its rows, as the demo fills it.
            filler_object = filler(safe=safe)
            filler_object.insert = name == "report.xlsx"
            failed = filler_object(example(name), str(out), demo_variables(name))
        assert failed == []
        outputs.append(out)
    if kind == ".xlsx":
        books = [openpyxl.load_workbook(o) for o in outputs]
        cells = [[[c.value for c in row] for ws in b.worksheets for row in ws.iter_rows()] for b in books]
        assert cells[0] == cells[1]
    elif kind == ".docx":
        import docx

        texts = [[p.text for p in docx.Document(o).paragraphs] for o in outputs]
        assert texts[0] == texts[1]
    else:
        assert outputs[0].read_text() == outputs[1].read_text()


def test_a_refused_cell_keeps_its_text_and_the_rest_fills(tmp_path):
    template, out = tmp_path / "t.xlsx", tmp_path / "out.xlsx"
    book = openpyxl.Workbook()
    book.active["A1"], book.active["A2"], book.active["A3"] = "{n}", "{df.to_csv(T)}", "Total {n}"
    book.save(template)
    env = {"df": pd.DataFrame({"a": [1, 2]}), "n": 5, "T": str(tmp_path / "x.csv")}
    failed = GridFill(safe=True)(str(template), str(out), env)
    assert [(f.place, f.reason) for f in failed.details] == [
        ("sheet Sheet, cell A2", REFUSED + "'to_csv' with a file or buffer to write to")
    ]
    assert [c.value for c in openpyxl.load_workbook(out).active["A"]] == [5, "{df.to_csv(T)}", "Total 5"]
    assert sorted(os.listdir(tmp_path)) == ["out.xlsx", "t.xlsx"]


def test_sandbox_refuses_text_it_is_not_given():
    with pytest.raises(TypeError):
        sandbox.compile_placeholder(b"x")


def test_evaluate_runs_one_placeholder(env):
    assert sandbox.evaluate(" len(items)", env) == 3
    with pytest.raises(sandbox.Refused, match="name 'open'"):
        sandbox.evaluate("open('x')", env)


def test_the_readme_lists_what_the_table_allows():
    with open(os.path.join(HERE, "..", "README.md"), encoding="utf-8") as f:
        readme = f.read()
    section = readme.split("<!-- safe-allowlist:start -->\n")[1].split("<!-- safe-allowlist:end -->")[0]
    assert section == sandbox.allowed_markdown()
    tool = subprocess.run([sys.executable, os.path.join(HERE, "..", "tools", "allowed_list"), "--check"],
                          capture_output=True, text=True, timeout=60)
    assert tool.returncode == 0, tool.stderr


# Listed types that their modules do not name.
UNNAMED_TYPES = {"datetime.IsoCalendarDate": type(datetime.date(2024, 1, 1).isocalendar())}


def listed_type(path):
    if path in UNNAMED_TYPES:
        return UNNAMED_TYPES[path]
    if "." not in path:
        return getattr(builtins, path)
    module, _, name = path.rpartition(".")
    while True:
        try:
            found = importlib.import_module(module)
            break
        except ImportError:  # a class inside a class
            module, _, outer = module.rpartition(".")
            name = f"{outer}.{name}"
    for part in name.split("."):
        found = getattr(found, part)
    return found


@pytest.mark.parametrize("path", sorted(sandbox.ALLOWED))
def test_every_listed_name_is_one_its_type_has(path):
    cls = listed_type(path)
    assert f"{cls.__module__}.{cls.__qualname__}".removeprefix("builtins.") == path
    listed = {name for names in sandbox.ALLOWED[path].values() for name in names.split()} - {"*"}
    # an enum's name and value are found on its members only
    assert sorted(name for name in listed if not any(name in vars(base) for base in cls.__mro__)) == []
