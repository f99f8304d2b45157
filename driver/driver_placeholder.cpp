// Driver library placeholder: the deck reader, geometry and report live here.
