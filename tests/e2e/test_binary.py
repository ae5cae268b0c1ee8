def test_binary_runs(ostrel):
    r = ostrel()
    assert r.status == 1
    assert r.stdout.startswith("Ostrel "), r.stdout
