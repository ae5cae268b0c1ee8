def test_binary_runs(ostrel):
    r = ostrel()
    assert r.status == 1
