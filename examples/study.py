"""The study of examples/study.toml from Python: run it from the repository
folder with  PYTHONPATH=python /usr/bin/python3 examples/study.py"""
import quillet

deck = quillet.Deck.read("examples/example.deck")
deck.nxphot = deck.nyphot = 300
deck.outfile = deck.epsfile = "junk"
deck.nxpix = 0
deck.observe(latobs=20.0, phase_angle=[0, 2, 5, 10, 15, 20, 30, 45, 60, 90, 120])
print("phase angles seen from 20 deg with the Sun at 40 deg: %g to %g" % quillet.phase_range(40, 20))

ds = quillet.sweep(deck, bsun=[20, 40], ssca_part=[0.5, 0.9], jobs=2,
                   cache_dir="examples/.quillet-cache")
at = ds.sel(bsun=40, ssca_part=0.5).swap_dims(direction="phase_angle")
print(at[["i_over_f", "i_over_f_err", "i_over_f_1", "i_over_f_1_err"]].reset_coords(drop=True)
      .to_dataframe().dropna().round(4))
ds.to_netcdf("examples/out/study-py.nc")
