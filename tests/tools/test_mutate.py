"""scripts/mutate's scanner and its file handling: which faults it plants in a piece of C++, and
that a planted file always gets its original back. Argument: the script."""

import sys
import tempfile
import types
import unittest
from pathlib import Path

# Loaded from its text: the script has no .py name, and no compiled copy of it lands beside it.
sScript = sys.argv.pop(1)
mutate = types.ModuleType("mutate")
mutate.__file__ = sScript
exec(compile(Path(sScript).read_text(), sScript, "exec"), mutate.__dict__)


def planted(text, operator=None):
    """(line, operator, original, replacement) of each mutant of the text."""
    return [(m.line, m.operator, m.original, m.replacement) for m in mutate.find_mutants("x.cpp", text)
            if operator is None or m.operator == operator]


class TestMutate(unittest.TestCase):
    def test_plants_each_operator_where_it_fits(self):
        text = ("bool f(int i, int n)\n"
                "{\n"
                "    if (i < n && n >= 0x1F) {\n"
                "        return true;\n"
                "    }\n"
                "    return g(i) == n;\n"
                "}\n")
        self.assertEqual(planted(text), [
            (3, "negate", "i < n && n >= 0x1F", "!(i < n && n >= 0x1F)"), (3, "relational", "<", "<="),
            (3, "logical", "&&", "||"), (3, "relational", ">=", ">"), (3, "constant", "0x1F", "0x20"),
            (4, "return", "true", "false"), (6, "return", "g(i) == n", "{}"), (6, "relational", "==", "!=")])
        # Only returns that are not the default value already; a number is the constants' part.
        text = "return;\nreturn nullptr;\nreturn 0;\nreturn QString();\nreturn {};\nreturn false;\nreturn m_sName;\n"
        self.assertEqual(planted(text, "return"), [(6, "return", "false", "true"), (7, "return", "m_sName", "{}")])
        # One more in the literal's own base, its suffix kept.
        self.assertEqual([mutate.plus_one(s) for s in ("0", "9", "0755", "0xff", "100u", "7ULL", "1e3")],
                         ["1", "10", "0756", "0x100", "101u", "8ULL", None])

    def test_leaves_comments_literals_preprocessor_and_templates_alone(self):
        text = ('#include <map>\n#define LIMIT (1 < 2)\n// if (a < b) return 1;\n/* x == 3\n   && y */\n'
                'const char* s = "a < b \\" && 7";\nconst char c = \'1\';\nconst char* r = R"(x == 2 || y)";\n'
                'QList<QByteArray> l = f(a->b, c << d, e >> g, Qt_4_6, 1.5, u8);\n')
        self.assertEqual(planted(text), [])
        # Blanked in place: offsets and line numbers stay those of the text.
        masked = mutate.mask(text)
        self.assertEqual((len(masked), masked.count("\n")), (len(text), text.count("\n")))

    def test_deletes_statements_but_not_declarations(self):
        # Lines 3 to 8 declare; the statements on 9 to 16, 19 and 23 go.
        text = ("void f(int* p)\n{\n    QString sName;\n    Type* pItem = make();\n    QList<int> lItems = items();\n"
                "    const int iCount = 1;\n    QString& sRef = sName;\n    QString sCopy(sName);\n"
                "    m_iCount = iCount;\n"
                "    *p = 2;\n"
                "    ++m_iCount;\n"
                "    out << m_iCount;\n"
                "    emit changed();\n"
                "    m_oList.append(sName,\n"
                "                   sCopy);\n"
                "    sName.append('(');\n"
                "    switch (i) {\n    case A:\n"
                "        stop();\n"
                "        break;\n    default:\n        // why\n"
                "        go();\n"
                "    }\n    return;\n}\n")
        deleted = [(line, original.split()[0]) for line, _, original, _ in planted(text, "delete")]
        self.assertEqual(deleted, [(9, "m_iCount"), (10, "*p"), (11, "++m_iCount;"), (12, "out"), (13, "emit"),
                                   (14, "m_oList.append(sName,"), (16, "sName.append('(');"), (19, "stop();"),
                                   (23, "go();")])
        # A statement over two lines leaves its line break, so that later lines keep their numbers.
        self.assertEqual(planted(text, "delete")[5][3], ";\n")

    def test_samples_the_same_spread_mutants_every_time(self):
        self.assertEqual([mutate.sample(list(range(n)), iMax) for n, iMax in ((10, 3), (10, 1), (2, 5))],
                         [[1, 5, 8], [5], [0, 1]])

    def test_puts_the_original_back_now_or_after_an_interrupted_run(self):
        with tempfile.TemporaryDirectory() as sRoot:
            mutate.ROOT = root = Path(sRoot)
            (root / "usb").mkdir()
            source = root / "usb/a.cpp"
            original = b"int f()\n{\n    return 1;\n}\n"
            source.write_bytes(original)
            oMutant = mutate.find_mutants("usb/a.cpp", original.decode())[0]
            oPlanted = mutate.Planted(root / "build/mutate-backup")
            oPlanted.plant(oMutant, original)
            self.assertEqual(source.read_bytes(), b"int f()\n{\n    return 2;\n}\n")
            oPlanted.restore(oMutant, original)
            self.assertEqual(source.read_bytes(), original)

            # Killed while planted: the next run finds the backup and puts it back first.
            oPlanted.plant(oMutant, original)
            lNotes = []
            mutate.Planted(root / "build/mutate-backup").restore_leftovers(lNotes.append)
            self.assertEqual(source.read_bytes(), original)
            self.assertEqual(lNotes, ["mutate: putting back usb/a.cpp from an interrupted run"])
            self.assertEqual([p for p in (root / "build/mutate-backup").rglob("*") if p.is_file()], [])

    def test_rechecks_the_faults_a_report_has(self):
        with tempfile.NamedTemporaryFile("w", suffix=".txt") as oReport:
            oReport.write("usb/: caught 1 of 2\n\nEvery mutant:\ncaught\tusb/a.cpp:3:12 return 1 -> 2\tby test_a\n"
                          "missed\tusb/a.cpp:3:5 delete x; -> ;\t\nnot-compiled\tusb/a.cpp:4:1 return y -> {}\terror\n")
            oReport.flush()
            self.assertEqual(mutate.read_report(oReport.name), {"usb/a.cpp:3:12 return 1 -> 2": "caught",
                                                                "usb/a.cpp:3:5 delete x; -> ;": "missed",
                                                                "usb/a.cpp:4:1 return y -> {}": "not-compiled"})


if __name__ == "__main__":
    unittest.main()
