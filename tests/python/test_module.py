import kova_discovery._native as native


def test_module_docstring():
    assert native.__doc__ == "KOVA Discovery \u2014 local agent discovery via bio-inspired routing."
